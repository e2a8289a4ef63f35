// Facilities of the real host that are not built yet: openPort still succeeds (it opens no
// link), and a transport that needs the missing facility reports it when it runs.
#include "host/asio_host.hpp"
#include "host/serial_port.hpp"
#include "host/tcp_client.hpp"

namespace parley::detail {
std::unique_ptr<TcpClient> MakeAsioTcpClient(asio::io_context&) { return nullptr; }
}  // namespace parley::detail
