// parley-connd's server: the local socket, one session per client, the idle exit.
#pragma once

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "registry.hpp"

namespace parley::connd {

class Session;

class Server {
 public:
  // Serves on `listener` (already bound and listening). The service ends after `idle_seconds`
  // without a client and without a lock.
  Server(asio::io_context& io, asio::local::stream_protocol::acceptor listener,
         double idle_seconds);
  void Start();

  // Called by sessions.
  void Deliver(const std::vector<Outgoing>& out);
  void Received(uint64_t client, const Message& m);
  void Ended(uint64_t client);
  bool Admit(uint64_t client, pid_t pid, const std::string& name);

 private:
  void Accept();
  void ArmIdleTimer();
  double Now() const;

  asio::io_context& io_;
  asio::local::stream_protocol::acceptor listener_;
  asio::steady_timer idle_;
  double idle_seconds_;
  Registry registry_;
  std::map<uint64_t, std::shared_ptr<Session>> sessions_;
  uint64_t next_client_ = 1;
};

}  // namespace parley::connd
