// The link machinery that openPort builds: one serial facility, one TCP client facility and
// one timer facility, whose events reach the owning interface. Nothing here is shown to anyone.
#pragma once

#include <memory>

#include "host/host.hpp"
#include "host/interval_timer.hpp"
#include "host/serial_port.hpp"
#include "host/tcp_client.hpp"

namespace parley::detail {

struct LinkControls {
  explicit LinkControls(Host& host)
      : serial(host.CreateSerialPort()), tcp(host.CreateTcpClient()), timer(host) {}

  // Either facility may be absent on a host that does not offer it (a virtual host set up for
  // another transport); the transports check before use.
  std::unique_ptr<SerialPort> serial;
  std::unique_ptr<TcpClient> tcp;
  IntervalTimer timer;
};

}  // namespace parley::detail
