#include "arbiter/manager_protocol.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace parley::detail::manager {
namespace {

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint32_t GetU32(const std::string& in, std::size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i)
    v |= static_cast<uint32_t>(static_cast<uint8_t>(in[at + i])) << (8 * i);
  return v;
}

bool KnownKind(uint8_t k) { return (k >= 1 && k <= 9) || (k >= 64 && k <= 73); }

// A folder for the socket exists, is ours and is closed to everybody else.
bool CheckFolder(const std::string& path, std::string* why) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    if (why) *why = path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    if (why) *why = path + ": not a folder";
    return false;
  }
  if (st.st_uid != geteuid()) {
    if (why) *why = path + ": belongs to another user";
    return false;
  }
  if ((st.st_mode & 077) != 0) {
    if (why) *why = path + ": others may enter it (mode must be 0700)";
    return false;
  }
  return true;
}

}  // namespace

std::string Encode(const Message& m) {
  std::string text = m.text.substr(0, kMaxBody - kFixedBody);
  std::string out;
  out.reserve(4 + kFixedBody + text.size());
  PutU32(out, static_cast<uint32_t>(kFixedBody + text.size()));
  out.push_back(static_cast<char>(kVersion));
  out.push_back(static_cast<char>(m.kind));
  PutU32(out, m.id);
  out.push_back(static_cast<char>(m.flag));
  out += text;
  return out;
}

std::optional<Message> Decoder::Next() {
  if (error() || buffer_.size() < 4) return std::nullopt;
  uint32_t length = GetU32(buffer_, 0);
  // Checked before waiting for the body, so a huge length never makes us collect it.
  if (length > kMaxBody) {
    error_ = "frame of " + std::to_string(length) + " bytes is over the limit";
    return std::nullopt;
  }
  if (length < kFixedBody) {
    error_ = "frame too short";
    return std::nullopt;
  }
  if (buffer_.size() < 4 + length) return std::nullopt;
  auto version = static_cast<uint8_t>(buffer_[4]);
  auto kind = static_cast<uint8_t>(buffer_[5]);
  if (version != kVersion) {
    error_ = "protocol version " + std::to_string(version) + " is not spoken here";
    return std::nullopt;
  }
  if (!KnownKind(kind)) {
    error_ = "unknown message kind " + std::to_string(kind);
    return std::nullopt;
  }
  Message m;
  m.kind = static_cast<Kind>(kind);
  m.id = GetU32(buffer_, 6);
  m.flag = static_cast<uint8_t>(buffer_[10]);
  m.text = buffer_.substr(4 + kFixedBody, length - kFixedBody);
  buffer_.erase(0, 4 + length);
  return m;
}

bool PeerAllowed(uid_t peer_uid, uid_t own_uid) { return peer_uid == own_uid; }

std::string RuntimeFolder(std::string* why) {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  std::string base;
  if (xdg && xdg[0] == '/') {
    struct stat st {};
    if (stat(xdg, &st) == 0 && S_ISDIR(st.st_mode)) base = xdg;
  }
  std::string folder = base.empty() ? "/tmp/parley-" + std::to_string(geteuid()) : base + "/parley";
  if (!CheckFolder(folder, why)) return "";
  // A Unix socket's path must fit sockaddr_un.
  if (SocketPath(folder).size() >= 100) {
    if (why) *why = folder + ": path too long for a local socket";
    return "";
  }
  return folder;
}

std::string SocketPath(const std::string& folder) { return folder + "/connd.sock"; }
std::string LockPath(const std::string& folder) { return folder + "/connd.lock"; }

double IdleExitSeconds() {
  if (const char* v = std::getenv("PARLEY_CONND_IDLE")) {
    char* end = nullptr;
    double s = std::strtod(v, &end);
    if (end != v && s >= 0) return s;
  }
  return 30;
}

}  // namespace parley::detail::manager
