// The cross-process connection manager: a client of parley-connd on the thread's loop.
//
// Each manager keeps one socket to the service. Notifications (NotifySignal, NotifyReset, a
// device locked or unlocked) are read by an asynchronous read on the thread's io_context, so
// they run wherever the loop runs. PortLocked is answered from the last lock notification
// without asking the service. When the service goes away the socket is found closed; the next
// call connects again (starting the service) and opens every connection afresh.
#include "arbiter/service_manager.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <asio/local/stream_protocol.hpp>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include "host/asio_host.hpp"
#include "parley/connection.hpp"
#include "parley/errors.hpp"
#include "parley/serial.hpp"

namespace parley {

namespace detail {
namespace {

using manager::Kind;
using manager::Message;
using Clock = std::chrono::steady_clock;

constexpr const char* kSource = "KORConnMan";
constexpr auto kConnectWithin = std::chrono::milliseconds(3000);
constexpr auto kReplyWithin = std::chrono::milliseconds(2000);
constexpr auto kYieldFor = std::chrono::milliseconds(1500);

[[noreturn]] void Unavailable(const std::string& why) {
  throw AutomationError(err::CommUnavailable, kSource, "Connection manager: " + why);
}

class ServiceConnection;

// The socket and what arrives on it.
class ServiceLink : public std::enable_shared_from_this<ServiceLink> {
 public:
  explicit ServiceLink(AsioHost& host) : host_(host) {}
  ~ServiceLink() { Drop(); }

  // Connects when not connected; then every connection is opened again.
  void Ensure();
  // Sends `m`; on failure the link is dropped and the call fails.
  void Send(const Message& m);
  // Sends Open for connection `id` and waits for the answer.
  bool Open(uint32_t id, const std::string& device);

  // Runs the thread's loop for up to `max`.
  void Wait(Micros max) { host_.WaitForEvent(max); }

  uint32_t Add(ServiceConnection* c) {
    uint32_t id = next_id_++;
    connections_[id] = c;
    return id;
  }
  void Remove(uint32_t id) {
    connections_.erase(id);
    if (socket_) SendFrame(socket_->native_handle(), Message{Kind::Close, id, 0, {}});
  }

 private:
  struct ReadState {
    std::array<char, 4096> chunk{};
  };
  void Read();
  void Dispatch(const Message& m);
  void Drop();

  AsioHost& host_;
  std::unique_ptr<asio::local::stream_protocol::socket> socket_;
  std::shared_ptr<ReadState> reading_;
  manager::Decoder decoder_;
  std::map<uint32_t, ServiceConnection*> connections_;
  std::map<uint32_t, bool> opened_;  // answers to Open not yet taken
  uint32_t next_id_ = 1;
};

class ServiceConnection : public PortConnection {
 public:
  ServiceConnection(std::shared_ptr<ServiceLink> link, std::string device)
      : link_(std::move(link)), device_(std::move(device)) {
    id_ = link_->Add(this);
  }
  ~ServiceConnection() override { link_->Remove(id_); }

  void Open() {
    if (!link_->Open(id_, device_)) Unavailable("no answer from the service to opening " + device_);
  }

  bool PortLocked() override {
    link_->Ensure();
    return locked_;
  }
  void RequestPort() override {
    link_->Ensure();
    // Asked to yield a moment ago: the program we yielded to retries within a second, so it
    // goes first; otherwise we would take the device straight back (fairness).
    if (yielded_) {
      auto until = *yielded_ + kYieldFor;
      while (Clock::now() < until) {
        link_->Wait(std::chrono::duration_cast<Micros>(until - Clock::now()));
      }
      yielded_.reset();
    }
    link_->Send(Message{Kind::Request, id_, 0, {}});
  }

  const std::string& device() const { return device_; }
  uint32_t id() const { return id_; }
  void Locked(bool locked) { locked_ = locked; }
  void Signal(bool yield) {
    if (yield) yielded_ = Clock::now();
    RaiseNotifySignal();
  }
  void Reset() { RaiseNotifyReset(); }

 private:
  std::shared_ptr<ServiceLink> link_;
  std::string device_;
  uint32_t id_ = 0;
  bool locked_ = false;
  std::optional<Clock::time_point> yielded_;
};

void ServiceLink::Drop() {
  if (!socket_) return;
  std::error_code ec;
  socket_->close(ec);
  socket_.reset();
  reading_.reset();
  decoder_ = manager::Decoder();
}

void ServiceLink::Ensure() {
  if (socket_) return;
  std::string leftover;
  int fd = ConnectToService(true, kConnectWithin, &leftover);
  socket_ = std::make_unique<asio::local::stream_protocol::socket>(host_.io());
  std::error_code ec;
  socket_->assign(asio::local::stream_protocol(), fd, ec);
  if (ec) {
    ::close(fd);
    socket_.reset();
    Unavailable("cannot take the socket: " + ec.message());
  }
  decoder_.Feed(leftover.data(), leftover.size());
  Read();
  // A service that was restarted knows nothing of us: every connection opens again.
  for (auto& [id, c] : connections_) {
    if (!Open(id, c->device())) {
      Drop();
      Unavailable("no answer from the service to opening " + c->device());
    }
  }
}

void ServiceLink::Send(const Message& m) {
  if (!socket_) Ensure();
  if (SendFrame(socket_->native_handle(), m)) return;
  // The service ended before we noticed: once more on a fresh connection (which opens every
  // connection again), and only then does the call fail.
  Drop();
  Ensure();
  if (!SendFrame(socket_->native_handle(), m)) {
    int error = errno;
    Drop();
    Unavailable(std::string("the service went away (") + std::strerror(error) + ")");
  }
}

bool ServiceLink::Open(uint32_t id, const std::string& device) {
  opened_.erase(id);
  Send(Message{Kind::Open, id, 0, device});
  auto until = Clock::now() + kReplyWithin;
  // The answer comes through the loop; other handlers may run meanwhile, as in any wait.
  auto self = shared_from_this();
  while (socket_ && !opened_.count(id) && Clock::now() < until) {
    auto left = std::chrono::duration_cast<Micros>(until - Clock::now());
    host_.WaitForEvent(left);
  }
  auto it = opened_.find(id);
  if (it == opened_.end()) return false;
  if (auto c = connections_.find(id); c != connections_.end()) c->second->Locked(it->second);
  opened_.erase(it);
  return true;
}

void ServiceLink::Read() {
  auto state = std::make_shared<ReadState>();
  reading_ = state;
  std::weak_ptr<ServiceLink> weak = shared_from_this();
  socket_->async_read_some(asio::buffer(state->chunk),
                           [weak, state](std::error_code ec, std::size_t n) {
                             auto self = weak.lock();
                             if (!self || self->reading_ != state) return;  // dropped meanwhile
                             if (ec) {
                               self->Drop();  // the service ended: the next call connects again
                               return;
                             }
                             self->decoder_.Feed(state->chunk.data(), n);
                             while (self->reading_ == state) {
                               auto m = self->decoder_.Next();
                               if (!m) break;
                               self->Dispatch(*m);
                             }
                             if (self->reading_ != state) return;
                             if (self->decoder_.error()) {
                               self->Drop();
                               return;
                             }
                             self->Read();
                           });
}

void ServiceLink::Dispatch(const Message& m) {
  switch (m.kind) {
    case Kind::Opened:
      opened_[m.id] = m.flag != 0;
      break;
    case Kind::LockState:
      if (auto c = connections_.find(m.id); c != connections_.end()) c->second->Locked(m.flag);
      break;
    case Kind::Signal:
      if (auto c = connections_.find(m.id); c != connections_.end()) c->second->Signal(m.flag);
      break;
    case Kind::NotifyReset:
      if (auto c = connections_.find(m.id); c != connections_.end()) c->second->Reset();
      break;
    case Kind::Refused:
      Drop();
      break;
    default:
      break;
  }
}

class ServiceConnectionManager : public ConnectionManager {
 public:
  explicit ServiceConnectionManager(AsioHost& host) : link_(std::make_shared<ServiceLink>(host)) {}

  std::shared_ptr<PortConnection> GetConnection(int32_t port) override {
    link_->Ensure();
    auto c = std::make_shared<ServiceConnection>(link_, ResolvedDevice(SerialDevicePath(port)));
    c->Open();
    return c;
  }

 private:
  std::shared_ptr<ServiceLink> link_;
};

}  // namespace

bool ThreadHasRealLoop() { return dynamic_cast<AsioHost*>(&CurrentHost()) != nullptr; }

}  // namespace detail

std::shared_ptr<ConnectionManager> MakeServiceConnectionManager() {
  auto* host = dynamic_cast<detail::AsioHost*>(&detail::CurrentHost());
  if (!host) {
    detail::Unavailable("the cross-process manager needs the thread's real event loop");
  }
  return std::make_shared<detail::ServiceConnectionManager>(*host);
}

}  // namespace parley
