// parley-connd's server: the local socket, one session per client, the timers (idle exit,
// grants that lapse, accepting again after running out of descriptors, the socket file's
// watch).
#pragma once

#include <sys/types.h>

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "registry.hpp"

namespace parley::connd {

class Session;

// A socket bound to `path` (made private to the user) and listening. Throws on failure.
asio::local::stream_protocol::acceptor Listen(asio::io_context& io, const std::string& path);

class Server {
 public:
  // Serves on `listener`, listening on `socket_path` (bound by us when `bound_here`, otherwise
  // handed over by systemd). The service ends after `idle_seconds` without a client.
  Server(asio::io_context& io, asio::local::stream_protocol::acceptor listener,
         std::string socket_path, bool bound_here, double idle_seconds);
  void Start();
  // Removes the socket file when it is one we bound (at the end of the service).
  void RemoveSocketFile();

  // Called by sessions.
  void Received(uint64_t client, const Message& m);
  void Ended(uint64_t client);
  bool Admit(uint64_t client, pid_t pid, const std::string& name);

 private:
  void Deliver(const std::vector<Outgoing>& out);
  void Accept();
  void AcceptLater();
  void ArmIdleTimer();
  void ArmGrantTimer();
  void WatchSocketFile();
  bool SocketFileIsOurs() const;
  void NoteSocketFile();
  void BindAgain();
  double Now() const;

  asio::io_context& io_;
  asio::local::stream_protocol::acceptor listener_;
  std::string socket_path_;
  std::optional<std::pair<dev_t, ino_t>> socket_file_;  // the file we listen on
  bool bound_here_;
  uint64_t listener_generation_ = 0;  // which listener an accept or a back-off belongs to
  asio::steady_timer idle_;
  asio::steady_timer grants_;
  std::optional<double> grants_at_;
  asio::steady_timer accept_again_;
  asio::steady_timer watch_;
  double idle_seconds_;
  Registry registry_;
  std::map<uint64_t, std::shared_ptr<Session>> sessions_;
  uint64_t next_client_ = 1;
};

}  // namespace parley::connd
