// The tools' side of parley-connd: the status listing, locks and resets, each a short
// exchange on a connection of its own.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "arbiter/service_manager.hpp"
#include "parley/connection.hpp"
#include "parley/errors.hpp"

namespace parley {

namespace detail {
namespace {

using manager::Kind;
using manager::Message;
using Clock = std::chrono::steady_clock;

constexpr auto kConnectWithin = std::chrono::milliseconds(3000);
constexpr auto kReplyWithin = std::chrono::milliseconds(2000);

[[noreturn]] void Unavailable(const std::string& why) {
  throw AutomationError(err::CommUnavailable, "KORConnMan", "Connection manager: " + why);
}

// A short exchange of a tool with the service: connect, one request, its answer.
std::optional<Message> AskService(const Message& m, Kind answer, bool start) {
  std::string leftover;
  int fd = ConnectToService(start, kConnectWithin, &leftover);
  if (fd < 0) return std::nullopt;
  manager::Decoder decoder;
  decoder.Feed(leftover.data(), leftover.size());
  if (!SendFrame(fd, m)) {
    ::close(fd);
    Unavailable("the service went away");
  }
  if (answer == Kind::Hello) {  // no answer expected
    ::close(fd);
    return Message{};
  }
  auto until = Clock::now() + kReplyWithin;
  std::optional<Message> reply;
  while (!reply) {
    if (auto next = decoder.Next()) {
      if (next->kind == answer) reply = next;
      continue;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) break;
    char buffer[4096];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    decoder.Feed(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!reply) Unavailable("no answer from the service");
  return reply;
}

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
    d.device = fields[0];
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
  auto reply = detail::AskService(detail::Message{detail::Kind::Status, 0, 0, {}},
                                  detail::Kind::StatusText, false);
  if (!reply) return std::nullopt;
  return detail::ParseStatus(reply->text);
}

void LockSerialDevice(const std::string& device, bool lock) {
  auto reply =
      detail::AskService(detail::Message{detail::Kind::Lock, 0, static_cast<uint8_t>(lock ? 1 : 0),
                                         detail::ResolvedDevice(device)},
                         detail::Kind::LockResult, true);
  if (!reply->flag) {
    throw AutomationError(err::CommPortLocked, "KORConnMan", device + ": " + reply->text);
  }
}

void NotifySerialDeviceReset(const std::string& device) {
  detail::AskService(detail::Message{detail::Kind::Reset, 0, 0, detail::ResolvedDevice(device)},
                     detail::Kind::Hello, true);
}

}  // namespace parley
