#include "server.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <deque>
#include <iostream>

namespace parley::connd {

using detail::manager::Decoder;
using detail::manager::Encode;
using detail::manager::Kind;
using detail::manager::PeerAllowed;
using std::chrono::milliseconds;

namespace {

// A connection that has not greeted by then is refused: it holds a descriptor and nothing
// else, and must not hold that for long.
constexpr milliseconds kHandshakeWithin{2000};
// After a failed accept (out of descriptors): the listening socket stays readable, so trying
// again at once would spin.
constexpr milliseconds kAcceptAgainAfter{100};
// How often the socket file is checked: someone may remove it (a tidy-up of the runtime folder).
constexpr milliseconds kWatchEvery{2000};

}  // namespace

asio::local::stream_protocol::acceptor Listen(asio::io_context& io, const std::string& path) {
  asio::local::stream_protocol::acceptor acceptor(io);
  mode_t old = umask(077);
  try {
    acceptor.open();
    acceptor.bind(asio::local::stream_protocol::endpoint(path));
  } catch (...) {
    umask(old);
    throw;
  }
  umask(old);
  acceptor.listen();
  return acceptor;
}

// One client: reads frames, writes replies in order. A client that stops reading while this
// much is queued for it is dropped, so it cannot make the service grow.
class Session : public std::enable_shared_from_this<Session> {
 public:
  static constexpr std::size_t kMaxQueued = 256 * 1024;

  Session(Server& server, uint64_t id, asio::local::stream_protocol::socket socket)
      : server_(server), id_(id), socket_(std::move(socket)), handshake_(socket_.get_executor()) {}

  void Start() {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(socket_.native_handle(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
        !PeerAllowed(cred.uid, geteuid())) {
      Refuse("this manager serves only its own user");
      return;
    }
    pid_ = cred.pid;
    WaitForGreeting();
    Read();
  }

  void Send(const Message& m) {
    if (closed_ || refusing_) return;
    Queue(m);
  }

  // Sends the refusal, then ends the connection once it is written; nothing else is sent or
  // read any more.
  void Refuse(const std::string& why) {
    if (closed_ || refusing_) return;
    refusing_ = true;
    Queue(Message{Kind::Refused, 0, 0, why});
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    handshake_.cancel();
    // Told before the socket closes: a client that waits for our end of the connection (a
    // lock being released) then finds the registry already updated.
    server_.Ended(id_);
    std::error_code ec;
    socket_.shutdown(asio::socket_base::shutdown_both, ec);
    socket_.close(ec);
  }

 private:
  void Queue(const Message& m) {
    queued_ += 4 + detail::manager::kFixedBody + m.text.size();
    out_.push_back(Encode(m));
    if (queued_ > kMaxQueued) {
      Close();
      return;
    }
    if (out_.size() == 1) Write();
  }

  void WaitForGreeting() {
    handshake_.expires_after(kHandshakeWithin);
    handshake_.async_wait([self = shared_from_this()](std::error_code ec) {
      if (ec || self->welcomed_) return;
      self->Refuse("no greeting within 2 s");
    });
  }

  void Read() {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(chunk_), [self](std::error_code ec, std::size_t n) {
      if (self->closed_ || self->refusing_) return;
      if (ec) {
        self->Close();
        return;
      }
      self->decoder_.Feed(self->chunk_.data(), n);
      while (auto m = self->decoder_.Next()) {
        self->Handle(*m);
        if (self->closed_ || self->refusing_) return;
      }
      if (self->decoder_.error()) {
        self->Refuse("malformed message: " + self->decoder_.error_text());
        return;
      }
      self->Read();
    });
  }

  void Handle(const Message& m) {
    if (welcomed_) {
      server_.Received(id_, m);
      return;
    }
    if (m.kind != Kind::Hello) {
      Refuse("the first message must be Hello");
      return;
    }
    if (!server_.Admit(id_, pid_, m.text)) {
      Refuse("too many clients");
      return;
    }
    welcomed_ = true;
    handshake_.cancel();
    Send(Message{Kind::Welcome, 0, 0, std::to_string(getpid())});
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
  asio::steady_timer handshake_;
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
               std::string socket_path, bool bound_here, double idle_seconds)
    : io_(io),
      listener_(std::move(listener)),
      socket_path_(std::move(socket_path)),
      bound_here_(bound_here),
      idle_(io),
      grants_(io),
      accept_again_(io),
      watch_(io),
      idle_seconds_(idle_seconds) {}

void Server::Start() {
  NoteSocketFile();
  Accept();
  ArmIdleTimer();
  WatchSocketFile();
}

double Server::Now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void Server::Accept() {
  listener_.async_accept([this, generation = listener_generation_](
                             std::error_code ec, asio::local::stream_protocol::socket s) {
    if (ec == asio::error::operation_aborted || generation != listener_generation_) return;
    if (ec) {
      // Out of descriptors, most likely: the others are served meanwhile.
      AcceptLater();
      return;
    }
    uint64_t id = next_client_++;
    auto session = std::make_shared<Session>(*this, id, std::move(s));
    sessions_[id] = session;
    session->Start();
    Accept();
  });
}

void Server::AcceptLater() {
  accept_again_.expires_after(kAcceptAgainAfter);
  accept_again_.async_wait([this, generation = listener_generation_](std::error_code ec) {
    if (!ec && generation == listener_generation_) Accept();
  });
}

// Only greeted clients count: a connection that never says Hello keeps nothing alive.
void Server::ArmIdleTimer() {
  idle_.expires_after(milliseconds(static_cast<int64_t>(idle_seconds_ * 1000)));
  idle_.async_wait([this](std::error_code ec) {
    if (ec || registry_.clients() > 0) return;
    std::error_code ignored;
    listener_.close(ignored);
    io_.stop();
  });
}

// Runs only while a grant is outstanding, and is moved only when the next lapse moves.
void Server::ArmGrantTimer() {
  auto next = registry_.NextDeadline();
  if (next == grants_at_) return;
  grants_at_ = next;
  if (!next) {
    grants_.cancel();
    return;
  }
  auto at = std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(*next)));
  grants_.expires_at(at);
  grants_.async_wait([this](std::error_code ec) {
    if (ec) return;
    grants_at_.reset();
    Deliver(registry_.Tick(Now()));
    ArmGrantTimer();
  });
}

bool Server::Admit(uint64_t client, pid_t pid, const std::string& name) {
  if (!registry_.AddClient(client, pid, name)) return false;
  idle_.cancel();
  return true;
}

void Server::Received(uint64_t client, const Message& m) {
  Deliver(registry_.Handle(client, m, Now()));
  ArmGrantTimer();
}

void Server::Deliver(const std::vector<Outgoing>& out) {
  for (const auto& o : out) {
    auto it = sessions_.find(o.client);
    if (it == sessions_.end()) continue;
    if (o.message.kind == Kind::Refused) {
      it->second->Refuse(o.message.text);
    } else {
      it->second->Send(o.message);
    }
  }
}

void Server::Ended(uint64_t client) {
  // Posted: the session may be deep in its own handler when it ends.
  asio::post(io_, [this, client] {
    std::size_t before = registry_.clients();
    Deliver(registry_.RemoveClient(client, Now()));
    ArmGrantTimer();
    sessions_.erase(client);
    if (registry_.clients() == 0 && before > 0) ArmIdleTimer();
  });
}

void Server::NoteSocketFile() {
  struct stat st {};
  socket_file_.reset();
  if (::stat(socket_path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
    socket_file_ = std::make_pair(st.st_dev, st.st_ino);
  }
}

bool Server::SocketFileIsOurs() const {
  struct stat st {};
  return socket_file_ && ::stat(socket_path_.c_str(), &st) == 0 &&
         std::make_pair(st.st_dev, st.st_ino) == *socket_file_;
}

void Server::WatchSocketFile() {
  watch_.expires_after(kWatchEvery);
  watch_.async_wait([this](std::error_code ec) {
    if (ec) return;
    if (!SocketFileIsOurs()) BindAgain();
    WatchSocketFile();
  });
}

// The socket file went away: new programs could not reach us and would start a second
// service. Bound afresh where they look; connections already made stay as they are.
void Server::BindAgain() {
  struct stat st {};
  if (::lstat(socket_path_.c_str(), &st) == 0) return;  // someone else's now: not ours to remove
  std::string why;
  if (detail::manager::RuntimeFolder(&why).empty()) {  // makes the folder again when it went
    std::cerr << "parley-connd: cannot listen again: " << why << "\n";
    return;
  }
  try {
    auto fresh = Listen(io_, socket_path_);
    ++listener_generation_;
    accept_again_.cancel();
    std::error_code ignored;
    listener_.close(ignored);
    listener_ = std::move(fresh);
    bound_here_ = true;
    NoteSocketFile();
    Accept();
  } catch (const std::exception& e) {
    std::cerr << "parley-connd: " << socket_path_ << ": cannot listen again: " << e.what() << "\n";
  }
}

void Server::RemoveSocketFile() {
  if (bound_here_ && SocketFileIsOurs()) ::unlink(socket_path_.c_str());
}

}  // namespace parley::connd
