#include "arbiter/manager_protocol.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
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

bool Fail(std::string* why, const std::string& path, const std::string& reason) {
  if (why) *why = path + ": " + reason;
  return false;
}

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

bool OwnedByUsOrRoot(const struct stat& st) { return st.st_uid == geteuid() || st.st_uid == 0; }

// Whether someone else could put another folder in place of what lies in `st`: when it
// belongs to another user, or others may write it (root's sticky folders, such as /tmp, are
// safe: there only the owner of an entry may rename or remove it).
bool ReplaceableBelow(const struct stat& st, const std::string& path, std::string* why) {
  if (!OwnedByUsOrRoot(st)) return !Fail(why, path, "belongs to another user");
  bool shared = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  if (shared && !(st.st_uid == 0 && (st.st_mode & S_ISVTX))) {
    return !Fail(why, path, "others may write it (mode " + Octal(st.st_mode) + ")");
  }
  return false;
}

// Every folder from the root down to `folder` (symlinks resolved) is safe from other users.
bool SafeWayTo(const std::string& folder, std::string* why) {
  char resolved[PATH_MAX];
  if (!::realpath(folder.c_str(), resolved)) return Fail(why, folder, std::strerror(errno));
  std::string path = resolved;
  std::vector<std::string> steps{"/"};
  for (auto at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    steps.push_back(path.substr(0, at));
  }
  if (path.size() > 1) steps.push_back(path);
  for (const auto& step : steps) {
    struct stat st {};
    if (::stat(step.c_str(), &st) != 0) return Fail(why, step, std::strerror(errno));
    if (ReplaceableBelow(st, step, why)) return false;
  }
  return true;
}

// `path` is a folder (not a symlink) of ours that only we may enter; made so when `make`.
bool PrivateFolder(const std::string& path, bool make, std::string* why) {
  if (make && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    return Fail(why, path, std::strerror(errno));
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return Fail(why, path, std::strerror(errno));
  if (S_ISLNK(st.st_mode)) return Fail(why, path, "is a symlink, not a folder");
  if (!S_ISDIR(st.st_mode)) return Fail(why, path, "not a folder");
  if (st.st_uid != geteuid()) return Fail(why, path, "belongs to another user");
  if ((st.st_mode & 0777) != 0700) {
    return Fail(why, path, "mode " + Octal(st.st_mode) + ", must be 0700 (others may enter it)");
  }
  return true;
}

std::string Parent(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// `base` (an existing folder that must already be private) and its `leaf`, made when missing.
std::string PrivateUnder(const std::string& base, const std::string& leaf, std::string* why) {
  if (!SafeWayTo(Parent(base), why) || !PrivateFolder(base, false, why)) return "";
  std::string folder = base + "/" + leaf;
  return PrivateFolder(folder, true, why) ? folder : "";
}

std::string FromXdg(const std::string& xdg, std::string* why) {
  if (xdg.front() != '/') {
    Fail(why, xdg, "XDG_RUNTIME_DIR is not an absolute path");
    return "";
  }
  std::string base = xdg;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  std::string folder = PrivateUnder(base, "parley", why);
  if (folder.empty() && why) *why = "XDG_RUNTIME_DIR: " + *why;
  return folder;
}

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = ::getpwuid(geteuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "";
}

std::string FromHome(std::string* why) {
  std::string home = HomeFolder();
  if (home.empty() || home.front() != '/') {
    Fail(why, home.empty() ? "~" : home, "no absolute home folder for the manager's socket");
    return "";
  }
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (!SafeWayTo(home, why)) return "";
  // A shared folder as home (HOME=/tmp) would let others squat the name we are about to make.
  struct stat st {};
  if (::stat(home.c_str(), &st) != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    Fail(why, home, "a home folder others may write");
    return "";
  }
  std::string base = (home == "/" ? "" : home) + "/.parley";
  if (!PrivateFolder(base, true, why)) return "";
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || !host[0]) std::strcpy(host, "localhost");
  // Per machine: a home folder shared over the network must not mix up two machines' sockets.
  std::string folder = base + "/run-" + host;
  return PrivateFolder(folder, true, why) ? folder : "";
}

std::string ChooseFolder(std::string* why) {
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) return FromXdg(xdg, why);
  std::string run = "/run/user/" + std::to_string(geteuid());
  struct stat st {};
  if (::lstat(run.c_str(), &st) == 0) {
    std::string unfit;
    if (SafeWayTo(Parent(run), &unfit) && PrivateFolder(run, false, &unfit)) {
      return PrivateUnder(run, "parley", why);
    }
  }
  return FromHome(why);
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
  std::string folder = ChooseFolder(why);
  if (folder.empty()) return "";
  std::string socket = SocketPath(folder);
  constexpr std::size_t kRoom = sizeof(sockaddr_un::sun_path) - 1;
  if (socket.size() > kRoom) {
    Fail(why, socket,
         "path too long for a local socket (" + std::to_string(socket.size()) + " bytes, at most " +
             std::to_string(kRoom) + ")");
    return "";
  }
  return folder;
}

std::string SocketPath(const std::string& folder) { return folder + "/connd.sock"; }
std::string LockPath(const std::string& folder) { return folder + "/connd.lock"; }

std::string EscapePath(const std::string& path) {
  std::string out;
  out.reserve(path.size());
  for (char ch : path) {
    auto byte = static_cast<unsigned char>(ch);
    switch (ch) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (byte < 0x20 || byte >= 0x7F) {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02X", byte);
          out += hex;
        } else {
          out += ch;
        }
    }
  }
  return out;
}

std::string UnescapePath(const std::string& escaped) {
  std::string out;
  out.reserve(escaped.size());
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '\\' || i + 1 == escaped.size()) {
      out += escaped[i];
      continue;
    }
    char next = escaped[++i];
    if (next == 't') {
      out += '\t';
    } else if (next == 'n') {
      out += '\n';
    } else if (next == 'r') {
      out += '\r';
    } else if (next == 'x' && i + 2 < escaped.size() &&
               std::isxdigit(static_cast<unsigned char>(escaped[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(escaped[i + 2]))) {
      out += static_cast<char>(std::stoi(escaped.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += next;  // \\ and anything we do not write stand for themselves
    }
  }
  return out;
}

double IdleExitSeconds() {
  if (const char* v = std::getenv("PARLEY_CONND_IDLE")) {
    char* end = nullptr;
    double s = std::strtod(v, &end);
    if (end != v && s >= 0) return s;
  }
  return 30;
}

}  // namespace parley::detail::manager
