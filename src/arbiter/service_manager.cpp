// The cross-process connection manager: a client of parley-connd.
//
// Each manager (one per thread that opens serial ports through it) keeps one socket to the
// service. The socket is read by a small thread of the manager's own, the watcher, so that
// what the service says arrives also while the program is outside every call: sleeping,
// computing, waiting for input. The watcher hands what it reads to the owning thread's loop
// (posted work, which also wakes a wait there), with one exception: when another program asks
// for a port and the owning thread is outside every library call (its activity lock is free,
// Host::activity), the watcher gives the idle port up itself, under that lock, so a program
// that sleeps while it holds a port keeps nobody waiting. Client handlers (portReset) run on
// the owning thread only.
//
// PortLocked reads what is pending on the socket first, without blocking, so a lock taken a
// moment ago is seen at once. When the service goes away the watcher connects again (starting
// a new service) and registers every connection afresh, saying which port it holds and which
// it waits for, so the new service knows whom to ask and whom to grant.
#include "arbiter/service_manager.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

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
// How often the watcher tries again to reach a service that went away.
constexpr int kReconnectPauseMs = 1000;

// "PID:NAME" as the service names a program, for people.
std::string ProgramText(const std::string& who) {
  auto colon = who.find(':');
  if (colon == std::string::npos) return who;
  return "pid " + who.substr(0, colon) + " (" + who.substr(colon + 1) + ")";
}

class ServiceConnection;

// What the link knows of one connection; guarded by the link's mutex.
struct ConnectionState {
  ServiceConnection* owner = nullptr;  // raised only under the owning thread's activity lock
  std::string device;
  bool opened = false;  // the service answered Open
  bool locked = false;
  bool granted = false;
  bool holding = false;
  bool waiting = false;
  bool signal_pending = false;
  std::string holder;  // "PID:NAME" as the service last said
};

// The socket, its watcher and what arrives on it.
class ServiceLink : public std::enable_shared_from_this<ServiceLink> {
 public:
  explicit ServiceLink(AsioHost& host);
  ~ServiceLink();
  ServiceLink(const ServiceLink&) = delete;
  ServiceLink& operator=(const ServiceLink&) = delete;

  // Connects (starting the service) unless connected; throws AutomationError on failure.
  void Ensure();
  // Sends `m`, once more on a fresh connection if the service went away; throws on failure.
  void Send(const Message& m);
  // Sends `m` when connected; a failure is left to the watcher (it reconnects).
  void SendQuietly(const Message& m);
  // Sends Open for connection `id` and waits (running the loop) for the answer.
  void Open(uint32_t id);
  // Reads what the socket holds now, without blocking.
  void ReadPending();

  uint32_t Add(ServiceConnection* c, std::string device);
  void Remove(uint32_t id);
  // Runs `f` on the state of connection `id` under the lock.
  template <class F>
  auto With(uint32_t id, F&& f) {
    std::lock_guard lock(mutex_);
    return f(connections_[id]);
  }

 private:
  static void* WatchThread(void* self);
  void Watch();
  void StartWatcher();
  void WakeWatcher();
  // Takes a wake-up, waiting up to `ms` for one.
  void WaitForWake(int ms);
  // Connects and registers every connection again; throws AutomationError on failure.
  void Reconnect();
  bool SendLocked(const Message& m);
  // Reads and dispatches what is there; false when the service closed the socket. Holds the
  // lock.
  bool ReadLocked();
  void DispatchLocked(const Message& m);
  void RetireSocketLocked();
  // After a read: signals to act on and posted work for the owning thread.
  void AfterRead(bool on_watcher);
  // Raises the pending signals; the caller holds the owning thread's activity lock.
  void DeliverSignals();
  void PostToOwner(std::function<void(ServiceLink&)> work);
  void CheckProcess() const;

  AsioHost& host_;
  std::shared_ptr<Host> host_share_;  // the owning thread's loop outlives the watcher
  const pid_t pid_;
  std::mutex connect_mutex_;  // one connection attempt at a time
  std::mutex mutex_;          // everything below
  int fd_ = -1;
  std::vector<int> retired_;  // sockets the watcher closes once it no longer polls them
  manager::Decoder decoder_;
  std::map<uint32_t, ConnectionState> connections_;
  std::vector<uint32_t> resets_;  // NotifyReset to raise on the owning thread
  bool wake_owner_ = false;
  bool lost_ = false;  // the service went away and the watcher should reconnect
  uint32_t next_id_ = 1;
  bool stopping_ = false;
  int wake_fd_ = -1;
  pthread_t watcher_{};
  bool watching_ = false;
};

class ServiceConnection : public PortConnection {
 public:
  ServiceConnection(std::shared_ptr<ServiceLink> link, std::string device)
      : link_(std::move(link)) {
    id_ = link_->Add(this, std::move(device));
  }
  ~ServiceConnection() override { link_->Remove(id_); }

  void Open() { link_->Open(id_); }

  bool PortLocked() override {
    link_->Ensure();
    link_->ReadPending();
    return link_->With(id_, [](ConnectionState& c) { return c.locked; });
  }
  void RequestPort() override {
    link_->Ensure();
    link_->With(id_, [](ConnectionState& c) {
      c.waiting = true;
      c.granted = false;
    });
    link_->Send(Message{Kind::Request, id_, 0, {}});
  }
  void PortAcquired() override {
    link_->With(id_, [](ConnectionState& c) {
      c.holding = true;
      c.waiting = false;
      c.granted = false;
    });
    link_->Send(Message{Kind::Acquired, id_, 0, {}});
  }
  void PortReleased() override {
    link_->With(id_, [](ConnectionState& c) { c.holding = false; });
    link_->SendQuietly(Message{Kind::Released, id_, 0, {}});
  }
  bool PortGranted() override {
    return link_->With(id_, [](ConnectionState& c) { return c.granted; });
  }
  std::string PortHolder() override {
    auto who = link_->With(id_, [](ConnectionState& c) { return c.holder; });
    return who.empty() ? who : ProgramText(who);
  }

  void Signal() { RaiseNotifySignal(); }
  void Reset() { RaiseNotifyReset(); }

 private:
  std::shared_ptr<ServiceLink> link_;
  uint32_t id_ = 0;
};

ServiceLink::ServiceLink(AsioHost& host)
    : host_(host), host_share_(CurrentHostShared()), pid_(getpid()) {}

ServiceLink::~ServiceLink() {
  // In a child made by fork() the watcher does not exist, and the socket is the parent's.
  if (getpid() != pid_) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  if (watching_) {
    WakeWatcher();
    pthread_join(watcher_, nullptr);
  }
  if (fd_ >= 0) ::close(fd_);
  for (int fd : retired_) ::close(fd);
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

void ServiceLink::CheckProcess() const {
  if (getpid() != pid_) {
    throw AutomationError(err::InvalidCall, kSource,
                          "Invalid procedure call or argument: this connection manager was made "
                          "before fork() and belongs to the parent process.");
  }
}

uint32_t ServiceLink::Add(ServiceConnection* c, std::string device) {
  std::lock_guard lock(mutex_);
  uint32_t id = next_id_++;
  auto& state = connections_[id];
  state.owner = c;
  state.device = std::move(device);
  return id;
}

void ServiceLink::Remove(uint32_t id) {
  {
    std::lock_guard lock(mutex_);
    connections_.erase(id);
  }
  if (getpid() == pid_) SendQuietly(Message{Kind::Close, id, 0, {}});
}

void ServiceLink::StartWatcher() {
  if (watching_) return;
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) Unavailable(std::string("eventfd: ") + std::strerror(errno));
  // The watcher takes no signals: they belong to the program's own threads.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  int error = pthread_create(&watcher_, nullptr, &ServiceLink::WatchThread, this);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (error != 0) Unavailable(std::string("cannot start the watcher: ") + std::strerror(error));
  watching_ = true;
}

void ServiceLink::WakeWatcher() {
  if (wake_fd_ >= 0) eventfd_write(wake_fd_, 1);
}

void ServiceLink::WaitForWake(int ms) {
  pollfd p{wake_fd_, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return;
  eventfd_t ignored = 0;
  (void)eventfd_read(wake_fd_, &ignored);
}

void* ServiceLink::WatchThread(void* self) {
  static_cast<ServiceLink*>(self)->Watch();
  return nullptr;
}

void ServiceLink::Watch() {
  for (;;) {
    int fd = -1;
    bool reconnect = false;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      for (int old : retired_) ::close(old);
      retired_.clear();
      fd = fd_;
      reconnect = lost_ && fd_ < 0 && !connections_.empty();
    }
    if (reconnect) {
      try {
        Reconnect();
        AfterRead(true);
      } catch (const std::exception&) {
        // Tried again after a pause; the owning thread's calls meanwhile fail on their own.
        WaitForWake(kReconnectPauseMs);
      }
      continue;
    }
    pollfd p[2] = {{wake_fd_, POLLIN, 0}, {fd, POLLIN, 0}};
    int n = poll(p, fd >= 0 ? 2 : 1, -1);
    if (n < 0) continue;  // EINTR
    if (p[0].revents & POLLIN) {
      WaitForWake(0);
      continue;  // stopping, or a new socket to watch
    }
    if (fd >= 0 && p[1].revents) {
      {
        std::lock_guard lock(mutex_);
        if (fd_ == fd && !ReadLocked()) RetireSocketLocked();
      }
      AfterRead(true);
    }
  }
}

void ServiceLink::RetireSocketLocked() {
  if (fd_ < 0) return;
  retired_.push_back(fd_);
  fd_ = -1;
  lost_ = true;
  wake_owner_ = true;  // a wait for an answer ends now
}

bool ServiceLink::ReadLocked() {
  if (fd_ < 0) return true;
  bool open = true;
  for (;;) {
    char buffer[4096];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      open = errno == EAGAIN || errno == EWOULDBLOCK;
      break;
    }
    if (n == 0) {
      open = false;
      break;
    }
    decoder_.Feed(buffer, static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < sizeof buffer) break;
  }
  while (auto m = decoder_.Next()) DispatchLocked(*m);
  return open && !decoder_.error();
}

void ServiceLink::DispatchLocked(const Message& m) {
  auto it = connections_.find(m.id);
  bool known = it != connections_.end();
  switch (m.kind) {
    case Kind::Opened:
      if (known) {
        it->second.opened = true;
        it->second.locked = m.flag != 0;
      }
      wake_owner_ = true;
      break;
    case Kind::LockState:
      if (known) it->second.locked = m.flag != 0;
      break;
    case Kind::Grant:
      if (known) it->second.granted = true;
      wake_owner_ = true;  // the port wait tries the opening now
      break;
    case Kind::Holder:
      if (known) it->second.holder = m.text;
      break;
    case Kind::Signal:
      if (known) it->second.signal_pending = true;
      break;
    case Kind::NotifyReset:
      if (known) resets_.push_back(m.id);
      break;
    case Kind::Refused:
      RetireSocketLocked();
      break;
    default:
      break;
  }
}

void ServiceLink::AfterRead(bool on_watcher) {
  bool signals = false;
  bool post = false;
  {
    std::lock_guard lock(mutex_);
    for (auto& [id, c] : connections_) signals = signals || c.signal_pending;
    post = wake_owner_ || !resets_.empty();
    wake_owner_ = false;
  }
  if (signals && on_watcher) {
    // The owning thread is outside every call: give the idle port up for it, now.
    std::unique_lock activity(host_.activity(), std::try_to_lock);
    if (activity.owns_lock()) {
      DeliverSignals();
      signals = false;
    }
  }
  if (signals || post) {
    PostToOwner([](ServiceLink& link) {
      link.DeliverSignals();
      std::vector<uint32_t> resets;
      {
        std::lock_guard lock(link.mutex_);
        resets.swap(link.resets_);
      }
      for (uint32_t id : resets) {
        ServiceConnection* c = nullptr;
        {
          std::lock_guard lock(link.mutex_);
          if (auto it = link.connections_.find(id); it != link.connections_.end())
            c = it->second.owner;
        }
        if (c) c->Reset();
      }
    });
  }
}

void ServiceLink::DeliverSignals() {
  for (;;) {
    ServiceConnection* c = nullptr;
    {
      std::lock_guard lock(mutex_);
      for (auto& [id, state] : connections_) {
        if (!state.signal_pending) continue;
        state.signal_pending = false;
        c = state.owner;
        break;
      }
    }
    if (!c) return;
    c->Signal();  // one at a time: a handler may end other connections
  }
}

void ServiceLink::PostToOwner(std::function<void(ServiceLink&)> work) {
  std::weak_ptr<ServiceLink> weak = weak_from_this();
  asio::post(host_.io(), [weak, work = std::move(work)] {
    if (auto link = weak.lock()) work(*link);
  });
}

void ServiceLink::ReadPending() {
  bool lost = false;
  {
    std::lock_guard lock(mutex_);
    if (!ReadLocked()) {
      RetireSocketLocked();
      lost = true;
    }
  }
  AfterRead(false);
  if (lost) WakeWatcher();  // it closes the socket and connects again
}

bool ServiceLink::SendLocked(const Message& m) { return fd_ >= 0 && SendFrame(fd_, m); }

void ServiceLink::Ensure() {
  CheckProcess();
  {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) return;
  }
  Reconnect();
}

void ServiceLink::Reconnect() {
  std::lock_guard connecting(connect_mutex_);
  {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) return;  // the other thread was first
  }
  std::string leftover;
  int fd = ConnectToService(true, kConnectWithin, &leftover);
  {
    std::lock_guard lock(mutex_);
    fd_ = fd;
    lost_ = false;
    decoder_ = manager::Decoder();
    decoder_.Feed(leftover.data(), leftover.size());
    // A restarted service knows nothing of us: every connection registers again, with the
    // port it holds or waits for.
    for (auto& [id, c] : connections_) {
      uint8_t flags =
          (c.holding ? manager::kOpenHolding : 0) | (c.waiting ? manager::kOpenWaiting : 0);
      c.opened = false;
      bool sent = SendLocked(Message{Kind::Open, id, flags, c.device});
      if (sent && c.waiting) sent = SendLocked(Message{Kind::Request, id, 0, {}});
      if (!sent) break;
    }
    while (auto m = decoder_.Next()) DispatchLocked(*m);
  }
  StartWatcher();
  WakeWatcher();
}

void ServiceLink::Send(const Message& m) {
  Ensure();
  {
    std::lock_guard lock(mutex_);
    if (SendLocked(m)) return;
    RetireSocketLocked();
  }
  WakeWatcher();
  // The service ended before we noticed: once more on a fresh connection (which registers
  // every connection again), and only then does the call fail.
  Reconnect();
  std::lock_guard lock(mutex_);
  if (SendLocked(m)) return;
  int error = errno;
  RetireSocketLocked();
  Unavailable(std::string("the service went away (") + std::strerror(error) + ")");
}

void ServiceLink::SendQuietly(const Message& m) {
  {
    std::lock_guard lock(mutex_);
    if (fd_ < 0 || SendLocked(m)) return;
    RetireSocketLocked();
  }
  WakeWatcher();
}

void ServiceLink::Open(uint32_t id) {
  std::string device = With(id, [](ConnectionState& c) {
    c.opened = false;
    return c.device;
  });
  Send(Message{Kind::Open, id, 0, device});
  auto until = Clock::now() + kReplyWithin;
  // The answer comes through the loop (the watcher posts it); other handlers may run
  // meanwhile, as in any wait.
  auto self = shared_from_this();
  for (;;) {
    if (With(id, [](ConnectionState& c) { return c.opened; })) return;
    auto left = std::chrono::duration_cast<Micros>(until - Clock::now());
    if (left.count() <= 0) break;
    host_.WaitForEvent(left);
  }
  Unavailable("no answer from the service to opening " + device);
}

class ServiceConnectionManager : public ConnectionManager {
 public:
  explicit ServiceConnectionManager(AsioHost& host) : link_(std::make_shared<ServiceLink>(host)) {}

  std::shared_ptr<PortConnection> GetConnection(int32_t port) override {
    return GetDeviceConnection(port, SerialDevicePath(port));
  }
  // The service knows devices by their resolved path: a by-id link and its /dev name are one.
  std::shared_ptr<PortConnection> GetDeviceConnection(int32_t, const std::string& device) override {
    link_->Ensure();
    auto c = std::make_shared<ServiceConnection>(link_, ResolvedDevice(device));
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
