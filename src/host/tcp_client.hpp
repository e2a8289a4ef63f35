// The TCP client facility: what the Ethernet transport needs of a socket.
//
// Implementations: asio_tcp_client (non-blocking sockets on the thread's loop, TCP_NODELAY)
// and sim_tcp_client (a scripted remote unit on the virtual host). Data are bytes, one char
// per byte.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace parley::detail {

enum TcpState : int32_t {
  kTcpClosed = 0,
  kTcpConnecting = 6,
  kTcpConnected = 7,
  kTcpError = 9,
};

class TcpClient {
 public:
  virtual ~TcpClient() = default;

  virtual void RemoteHost(const std::string& host) = 0;
  virtual void LocalPort(int32_t port) = 0;
  virtual void RemotePort(int32_t port) = 0;
  virtual int32_t State() const = 0;
  // Starts a connect and returns at once: OnConnect or OnError follows from the loop.
  virtual void Connect() = 0;
  virtual void SendData(std::string_view bytes) = 0;
  virtual std::string GetData() = 0;  // everything received so far
  virtual void Close() = 0;

  std::function<void()> OnConnect;
  std::function<void(int32_t bytes_total)> OnDataArrival;
  std::function<void(int16_t number, const std::string& description)> OnError;
};

}  // namespace parley::detail
