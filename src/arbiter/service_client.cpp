// Reaching parley-connd: finding the program, starting it, connecting and the handshake.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "arbiter/service_manager.hpp"
#include "parley/errors.hpp"

// The installed service, fixed when the library is built (src/CMakeLists.txt).
#ifndef PARLEY_INSTALL_BINDIR
#error "PARLEY_INSTALL_BINDIR must name the folder parley-connd is installed in"
#endif

namespace parley::detail {
namespace {

using manager::Kind;
using manager::Message;
using Clock = std::chrono::steady_clock;

constexpr const char* kSource = "KORConnMan";

std::string ProgramName() {
  char name[32] = {};
  int fd = ::open("/proc/self/comm", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ssize_t n = ::read(fd, name, sizeof name - 1);
    ::close(fd);
    if (n > 0) name[n - 1] = '\0';  // its line feed
  }
  return name[0] ? name : "program";
}

// Runs the service detached (its own session, no descriptor of ours, reparented to init).
// Fails only when the program cannot be run at all.
void StartService(const std::string& program) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) Unavailable(std::string("pipe: ") + std::strerror(errno));
  const char* argv[] = {program.c_str(), nullptr};
  pid_t child = fork();
  if (child < 0) {
    ::close(report[0]);
    ::close(report[1]);
    Unavailable(std::string("fork: ") + std::strerror(errno));
  }
  if (child == 0) {
    setsid();
    if (fork() != 0) _exit(0);
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    // Above all no serial device of ours: the service would hold its lock for ever.
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    ::fcntl(report[1], F_SETFD, FD_CLOEXEC);
    signal(SIGPIPE, SIG_DFL);
    // A caller waiting for signals (sigwait) has them blocked; the service must get SIGTERM.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(program.c_str(), const_cast<char* const*>(argv));
    int error = errno;
    (void)!::write(report[1], &error, sizeof error);
    _exit(127);
  }
  ::close(report[1]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int error = 0;
  pollfd p{report[0], POLLIN, 0};
  // The exec either succeeds (the pipe closes) or reports its errno at once.
  ssize_t n = 0;
  if (poll(&p, 1, 2000) > 0) n = ::read(report[0], &error, sizeof error);
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof error)) {
    Unavailable("cannot run " + program + ": " + std::strerror(error));
  }
}

// Reads until one whole message came or the time is up.
std::optional<Message> ReadMessage(int fd, manager::Decoder& decoder, Clock::time_point until) {
  for (;;) {
    if (auto m = decoder.Next()) return m;
    if (decoder.error()) return std::nullopt;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    char buffer[1024];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return std::nullopt;
    decoder.Feed(buffer, static_cast<std::size_t>(n));
  }
}

// One attempt: a connected, welcomed descriptor, or -1 with `why`.
int TryConnect(const std::string& path, Clock::time_point until, std::string* leftover,
               std::string* why) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) Unavailable(std::string("socket: ") + std::strerror(errno));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *why = path + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
      !manager::PeerAllowed(cred.uid, geteuid())) {
    ::close(fd);
    Unavailable(path + ": served by another user");
  }
  if (!SendFrame(fd, Message{Kind::Hello, 0, 0, ProgramName()})) {
    *why = path + ": the service did not take our greeting";
    ::close(fd);
    return -1;
  }
  manager::Decoder decoder;
  auto m = ReadMessage(fd, decoder, until);
  if (!m || m->kind != Kind::Welcome) {
    *why = path + ": " +
           (m && m->kind == Kind::Refused ? "refused: " + m->text : "the service did not answer");
    ::close(fd);
    return -1;
  }
  // Whatever followed the welcome belongs to the session.
  leftover->clear();
  while (auto more = decoder.Next()) *leftover += manager::Encode(*more);
  return fd;
}

// A file that only root or the user can change (mode and owner), or "" with the reason.
std::string Untrusted(const struct stat& st) {
  if (st.st_uid != 0 && st.st_uid != geteuid()) {
    return "owned by uid " + std::to_string(st.st_uid) + ", neither root nor us";
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return std::string("writable by others (mode ") + mode + ")";
  }
  return "";
}

void CheckFolderTrusted(const std::string& program, const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    Unavailable("cannot run " + program + ": " + folder + ": " + std::strerror(errno));
  }
  if (auto why = Untrusted(st); !why.empty()) {
    Unavailable("refusing to run " + program + ": its folder " + folder + " is " + why);
  }
}

// The service runs with all the user's rights: refuse a program file, or a folder holding it
// (where it is named and where it really lies), that someone else could have put there.
void CheckTrusted(const std::string& program) {
  char resolved[PATH_MAX];
  struct stat st {};
  if (!::realpath(program.c_str(), resolved) || ::stat(resolved, &st) != 0) {
    Unavailable("cannot run " + program + ": " + std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) Unavailable("refusing to run " + program + ": not a regular file");
  if (auto why = Untrusted(st); !why.empty()) {
    Unavailable("refusing to run " + program + ": " + why);
  }
  CheckFolderTrusted(program, std::filesystem::path(program).parent_path().string());
  CheckFolderTrusted(program, std::filesystem::path(resolved).parent_path().string());
}

}  // namespace

// The device a port number opens, as the kernel names it, so that two programs (or two
// numbers) reaching one device by different paths meet in one arbitration.
std::string ResolvedDevice(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) return resolved;
  return path;  // missing: it still gets its own arbitration under the name it was given
}

void Unavailable(const std::string& why) {
  throw AutomationError(err::CommUnavailable, kSource, "Connection manager: " + why);
}

std::string ServiceProgram() {
  std::string program = std::string(PARLEY_INSTALL_BINDIR) + "/parley-connd";
  if (const char* env = std::getenv("PARLEY_CONND"); env && *env) {
    // Relative to whatever folder the program runs in would run whatever lies there.
    if (env[0] != '/') Unavailable(std::string("PARLEY_CONND=") + env + ": not an absolute path");
    program = env;
  }
  CheckTrusted(program);
  return program;
}

bool SendFrame(int fd, const manager::Message& m) {
  std::string frame = manager::Encode(m);
  ssize_t n = ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  return n == static_cast<ssize_t>(frame.size());
}

int ConnectToService(bool start, std::chrono::milliseconds within, std::string* leftover) {
  std::string why;
  std::string folder = manager::RuntimeFolder(&why);
  if (folder.empty()) Unavailable(why);
  std::string path = manager::SocketPath(folder);
  auto until = Clock::now() + within;
  auto next_start = Clock::now();
  std::string program;
  for (;;) {
    int fd = TryConnect(path, until, leftover, &why);
    if (fd >= 0) return fd;
    if (!start) return -1;
    // Looked for only when needed: a running service is used whatever started it.
    if (program.empty()) program = ServiceProgram();
    if (Clock::now() >= until) Unavailable(why + " (started " + program + ", no answer)");
    // Started again now and then: a service that was just ending may have taken the first
    // start's place; two programs starting it at once end with one service (its lock file).
    if (Clock::now() >= next_start) {
      StartService(program);
      next_start = Clock::now() + std::chrono::milliseconds(500);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace parley::detail
