// The TCP front of parley-sim: the remote unit's network service on a loopback port.
//
// Every connection gets its own unit (its own command framing and timing) over the one shared
// configuration, so the answer table, the fault switches and the GPIB instruments are the
// serial side's. On connecting, the unit greets with "\r\n> " before it takes commands; a plain
// instrument does not greet.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <memory>

#include "remote_unit.hpp"

namespace parley::sim {

struct TcpOptions {
  std::uint16_t port = 6000;  // 0: any free port (see TcpFront::Port)
  bool greeting = true;
  bool split_greeting = false;  // "\r\n" then, 50 ms later, "> "
};

class TcpFront {
 public:
  // Throws std::system_error when the port cannot be bound.
  TcpFront(asio::io_context& io, std::shared_ptr<const UnitConfig> config, TcpOptions options);

  std::uint16_t Port() const { return acceptor_.local_endpoint().port(); }

 private:
  void AcceptNext();

  asio::ip::tcp::acceptor acceptor_;
  std::shared_ptr<const UnitConfig> config_;
  TcpOptions options_;
};

}  // namespace parley::sim
