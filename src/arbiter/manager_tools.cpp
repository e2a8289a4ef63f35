// The tools' side of parley-connd: the status listing, locks and resets, each on a connection
// of its own. A listing or a reset is a short exchange; a lock keeps its connection open for
// as long as it lasts, since the service ends a lock when its connection ends.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "arbiter/service_manager.hpp"
#include "parley/connection.hpp"
#include "parley/errors.hpp"

namespace parley {

namespace detail {
namespace {

using manager::Kind;
using manager::Message;
using Clock = std::chrono::steady_clock;

// A connection of a tool to the service: requests and their answers, each answer awaited for
// a bounded time.
class ToolLink {
 public:
  // Not connected() when no service runs and `start` is false.
  explicit ToolLink(bool start) {
    std::string leftover;
    fd_ = ConnectToService(start, kConnectWithin, &leftover);
    decoder_.Feed(leftover.data(), leftover.size());
  }
  ~ToolLink() {
    if (fd_ >= 0) ::close(fd_);
  }
  ToolLink(const ToolLink&) = delete;
  ToolLink& operator=(const ToolLink&) = delete;

  bool connected() const { return fd_ >= 0; }

  void Send(const Message& m) {
    if (!SendFrame(fd_, m)) Unavailable("the service went away");
  }

  // The next message of `kind`; what else comes meanwhile is not for a tool.
  Message Receive(Kind kind) {
    auto until = Clock::now() + kReplyWithin;
    for (;;) {
      while (auto next = decoder_.Next()) {
        if (next->kind == kind) return *next;
        if (next->kind == Kind::Refused) Unavailable("refused: " + next->text);
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (decoder_.error() || left.count() <= 0 ||
          poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) {
        break;
      }
      char buffer[4096];
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      decoder_.Feed(buffer, static_cast<std::size_t>(n));
    }
    Unavailable("no answer from the service");
  }

  // The connection, for a lock that lives as long as it.
  int Take() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
  manager::Decoder decoder_;
};

std::vector<std::string> Split(const std::string& text, char by) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    auto end = text.find(by, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

std::vector<ManagedProgram> Programs(const std::string& value) {
  std::vector<ManagedProgram> list;
  if (value == "-") return list;
  for (const auto& item : Split(value, ',')) {
    auto colon = item.find(':');
    if (colon == std::string::npos) continue;
    list.push_back(
        ManagedProgram{std::atoi(item.substr(0, colon).c_str()), item.substr(colon + 1)});
  }
  return list;
}

}  // namespace

std::vector<ManagedDevice> ParseStatus(const std::string& text) {
  std::vector<ManagedDevice> devices;
  for (const auto& line : Split(text, '\n')) {
    if (line.empty()) continue;
    auto fields = Split(line, '\t');
    ManagedDevice d;
    d.device = manager::UnescapePath(fields[0]);
    for (std::size_t i = 1; i < fields.size(); ++i) {
      auto eq = fields[i].find('=');
      if (eq == std::string::npos) continue;
      auto key = fields[i].substr(0, eq);
      auto list = Programs(fields[i].substr(eq + 1));
      if (key == "lock" && !list.empty()) d.locker = list.front();
      if (key == "holder" && !list.empty()) d.holder = list.front();
      if (key == "waiting") d.waiting = list;
      if (key == "users") d.users = list;
    }
    devices.push_back(std::move(d));
  }
  return devices;
}

}  // namespace detail

std::optional<std::vector<ManagedDevice>> ConnectionManagerStatus() {
  detail::ToolLink link(false);
  if (!link.connected()) return std::nullopt;
  link.Send(detail::Message{detail::Kind::Status, 0, 0, {}});
  // A long listing comes in parts; the last one says so.
  std::string text;
  for (;;) {
    auto part = link.Receive(detail::Kind::StatusText);
    text += part.text;
    if (!part.flag) break;
  }
  return detail::ParseStatus(text);
}

std::string EscapeDevicePath(const std::string& path) { return detail::manager::EscapePath(path); }

SerialDeviceLock LockSerialDevice(const std::string& device) {
  std::string path = detail::ResolvedDevice(device);
  detail::ToolLink link(true);
  link.Send(detail::Message{detail::Kind::Lock, 0, 1, path});
  auto reply = link.Receive(detail::Kind::LockResult);
  if (!reply.flag) {
    throw AutomationError(err::CommPortLocked, "KORConnMan",
                          detail::manager::EscapePath(device) + ": " + reply.text);
  }
  return SerialDeviceLock(link.Take(), path);
}

void UnlockSerialDevice(const std::string& device) {
  detail::ToolLink link(false);
  if (!link.connected()) return;  // no service, no lock
  link.Send(detail::Message{detail::Kind::Lock, 0, 0, detail::ResolvedDevice(device)});
  link.Receive(detail::Kind::LockResult);
}

SerialDeviceLock::~SerialDeviceLock() { Release(); }

SerialDeviceLock::SerialDeviceLock(SerialDeviceLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), device_(std::move(other.device_)) {}

SerialDeviceLock& SerialDeviceLock::operator=(SerialDeviceLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
    device_ = std::move(other.device_);
  }
  return *this;
}

void SerialDeviceLock::Release() noexcept {
  if (fd_ < 0) return;
  // The service ends the lock when this connection ends, then closes its side. Waiting for
  // that means a lock taken right after this call cannot find the old one still there.
  ::shutdown(fd_, SHUT_WR);
  auto until = detail::Clock::now() + detail::kReplyWithin;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - detail::Clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) break;
    char buffer[256];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
  }
  ::close(fd_);
  fd_ = -1;
}

void NotifySerialDeviceReset(const std::string& device) {
  detail::ToolLink link(true);
  link.Send(detail::Message{detail::Kind::Reset, 0, 0, detail::ResolvedDevice(device)});
}

}  // namespace parley
