// The TCP client facility: what the Ethernet transport needs of a socket.
//
// Implementations: asio_tcp_client (non-blocking sockets on the thread's loop, TCP_NODELAY)
// and sim_tcp_client (a scripted remote unit on the virtual host). Data are bytes, one char
// per byte; text and byte sends are the same bytes on the wire. A failed resolve or connect
// and a failed connection arrive as OnError with the system's text; an orderly close by the
// peer as OnPeerClosed.
//
// Events run from the thread's loop, never from inside a member call. A handler may close the
// client or destroy it (closePort does, from the Error handler): implementations copy the
// handler before calling it and touch nothing of the object afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "host/byte_stream.hpp"

namespace parley::detail {

enum TcpState : int32_t {
  kTcpClosed = 0,
  kTcpConnecting = 6,  // also while the host name is being resolved
  kTcpConnected = 7,
  kTcpClosing = 8,  // the remote end closed the connection; Close() makes it 0
  kTcpError = 9,
};

// A TCP client connection: the byte stream plus connect and state. Write throws
// AutomationError(InvalidSocketState) unless connected, and AutomationError(Overflow) when the
// send queue would hold more than kMaxUnsent bytes; Close() takes any state to closed and
// drops pending events.
class TcpClient : public ByteStream {
 public:
  // The send queue's bound: room for the longest command the Ethernet link sends, twice.
  static constexpr std::size_t kMaxUnsent = 32 * 1024 * 1024;

  // Bytes written and not yet handed to the system.
  virtual std::size_t Unsent() const = 0;
  // Closes at once and drops everything unsent, the system's send buffer included: the peer
  // sees a reset, never the rest of a command.
  virtual void Reset() = 0;
  // Drops what arrived and was not taken, reading the system's buffer now, without events.
  // True when the loop must run before the state is current: an end of input or a failure
  // found meanwhile is delivered by it, or this implementation drops only what the loop
  // delivers.
  virtual bool DiscardReceived() = 0;

  virtual void RemoteHost(const std::string& host) = 0;  // a host name or a dotted address
  virtual void LocalPort(int32_t port) = 0;              // 0: any free local port
  virtual void RemotePort(int32_t port) = 0;
  virtual int32_t State() const = 0;
  // Starts a connect and returns at once: OnConnect or OnError follows from the loop. Throws
  // AutomationError(InvalidSocketState) unless the state is closed.
  virtual void Connect() = 0;

  std::function<void()> OnConnect;
  // The remote end closed the connection: the state is kTcpClosing now, and everything it sent
  // before the close has already arrived (OnReadable).
  std::function<void()> OnPeerClosed;
};

}  // namespace parley::detail
