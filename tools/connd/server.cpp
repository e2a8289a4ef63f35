#include "server.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <deque>

namespace parley::connd {

using detail::manager::Decoder;
using detail::manager::Encode;
using detail::manager::Kind;
using detail::manager::PeerAllowed;

// One client: reads frames, writes replies in order. A client that stops reading while this
// much is queued for it is dropped, so it cannot make the service grow.
class Session : public std::enable_shared_from_this<Session> {
 public:
  static constexpr std::size_t kMaxQueued = 256 * 1024;

  Session(Server& server, uint64_t id, asio::local::stream_protocol::socket socket)
      : server_(server), id_(id), socket_(std::move(socket)) {}

  void Start() {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(socket_.native_handle(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
        !PeerAllowed(cred.uid, geteuid())) {
      Refuse("this manager serves only its own user");
      return;
    }
    pid_ = cred.pid;
    Read();
  }

  void Send(const Message& m) {
    if (closed_) return;
    queued_ += 4 + detail::manager::kFixedBody + m.text.size();
    out_.push_back(Encode(m));
    if (queued_ > kMaxQueued) {
      Close();
      return;
    }
    if (out_.size() == 1) Write();
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    std::error_code ec;
    socket_.shutdown(asio::socket_base::shutdown_both, ec);
    socket_.close(ec);
    server_.Ended(id_);
  }

 private:
  // Sends the refusal, then ends the connection once it is written.
  void Refuse(const std::string& why) {
    refusing_ = true;
    Send(Message{Kind::Refused, 0, 0, why});
  }

  void Read() {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(chunk_), [self](std::error_code ec, std::size_t n) {
      if (self->closed_) return;
      if (ec) {
        self->Close();
        return;
      }
      self->decoder_.Feed(self->chunk_.data(), n);
      while (auto m = self->decoder_.Next()) {
        if (self->closed_) return;
        self->Handle(*m);
      }
      if (self->decoder_.error()) {
        self->Refuse("malformed message: " + self->decoder_.error_text());
        return;
      }
      if (!self->closed_ && !self->refusing_) self->Read();
    });
  }

  void Handle(const Message& m) {
    if (!welcomed_) {
      if (m.kind != Kind::Hello) {
        Refuse("the first message must be Hello");
        return;
      }
      welcomed_ = server_.Admit(id_, pid_, m.text);
      Send(Message{Kind::Welcome, 0, 0, std::to_string(getpid())});
      return;
    }
    server_.Received(id_, m);
  }

  void Write() {
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(out_.front()), [self](std::error_code ec, std::size_t) {
      if (self->closed_) return;
      if (ec) {
        self->Close();
        return;
      }
      self->queued_ -= std::min(self->queued_, self->out_.front().size());
      self->out_.pop_front();
      if (!self->out_.empty()) {
        self->Write();
      } else if (self->refusing_) {
        self->Close();
      }
    });
  }

  Server& server_;
  uint64_t id_;
  asio::local::stream_protocol::socket socket_;
  std::array<char, 4096> chunk_{};
  Decoder decoder_;
  std::deque<std::string> out_;
  std::size_t queued_ = 0;
  pid_t pid_ = 0;
  bool welcomed_ = false;
  bool refusing_ = false;
  bool closed_ = false;
};

Server::Server(asio::io_context& io, asio::local::stream_protocol::acceptor listener,
               double idle_seconds)
    : io_(io), listener_(std::move(listener)), idle_(io), idle_seconds_(idle_seconds) {}

void Server::Start() {
  Accept();
  ArmIdleTimer();
}

double Server::Now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void Server::Accept() {
  listener_.async_accept([this](std::error_code ec, asio::local::stream_protocol::socket s) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec) {
      uint64_t id = next_client_++;
      auto session = std::make_shared<Session>(*this, id, std::move(s));
      sessions_[id] = session;
      idle_.cancel();
      session->Start();
    }
    // Out of descriptors or a client gone before it was taken: keep serving the others.
    Accept();
  });
}

void Server::ArmIdleTimer() {
  idle_.expires_after(std::chrono::milliseconds(static_cast<int64_t>(idle_seconds_ * 1000)));
  idle_.async_wait([this](std::error_code ec) {
    if (ec) return;
    if (!sessions_.empty() || registry_.AnyLocks()) return;
    std::error_code ignored;
    listener_.close(ignored);
    io_.stop();
  });
}

bool Server::Admit(uint64_t client, pid_t pid, const std::string& name) {
  registry_.AddClient(client, pid, name);
  return true;
}

void Server::Received(uint64_t client, const Message& m) {
  Deliver(registry_.Handle(client, m, Now()));
}

void Server::Deliver(const std::vector<Outgoing>& out) {
  for (const auto& o : out) {
    auto it = sessions_.find(o.client);
    if (it != sessions_.end()) it->second->Send(o.message);
  }
}

void Server::Ended(uint64_t client) {
  // Posted: the session may be deep in its own handler when it ends.
  asio::post(io_, [this, client] {
    Deliver(registry_.RemoveClient(client));
    sessions_.erase(client);
    if (sessions_.empty() && !registry_.AnyLocks()) ArmIdleTimer();
  });
}

}  // namespace parley::connd
