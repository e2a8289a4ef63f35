// The TCP client facility: what the Ethernet transport needs of a socket.
//
// Implementations: asio_tcp_client (non-blocking sockets on the thread's loop, TCP_NODELAY)
// and sim_tcp_client (a scripted remote unit on the virtual host). Data are bytes, one char
// per byte; text and byte sends are the same bytes on the wire.
//
// Events run from the thread's loop, never from inside a member call. A handler may close the
// client or destroy it (closePort does, from the Error handler): implementations copy the
// handler before calling it and touch nothing of the object afterwards.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace parley::detail {

enum TcpState : int32_t {
  kTcpClosed = 0,
  kTcpConnecting = 6,  // also while the host name is being resolved
  kTcpConnected = 7,
  kTcpClosing = 8,  // the remote end closed the connection; Close() makes it 0
  kTcpError = 9,
};

class TcpClient {
 public:
  virtual ~TcpClient() = default;

  virtual void RemoteHost(const std::string& host) = 0;  // a host name or a dotted address
  virtual void LocalPort(int32_t port) = 0;              // 0: any free local port
  virtual void RemotePort(int32_t port) = 0;
  virtual int32_t State() const = 0;
  // Starts a connect and returns at once: OnConnect or OnError follows from the loop. Throws
  // AutomationError(InvalidSocketState) unless the state is closed.
  virtual void Connect() = 0;
  // Queues bytes for sending; throws AutomationError(InvalidSocketState) unless connected.
  virtual void SendData(std::string_view bytes) = 0;
  virtual std::string GetData() = 0;  // everything received so far, removed from the client
  virtual void Close() = 0;           // any state to closed; pending events are dropped

  std::function<void()> OnConnect;
  // `bytes_total`: the bytes waiting for GetData, this arrival included.
  std::function<void(int32_t bytes_total)> OnDataArrival;
  // A failed connect or a failed connection (state 9). `number` is the system's error code.
  std::function<void(int16_t number, const std::string& description)> OnError;
};

}  // namespace parley::detail
