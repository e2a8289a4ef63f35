#include "sim_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace parley::sim {

namespace {

// The program's path as execve needs it: as given when it names a path, else found on PATH.
// Looked up before fork, so the child only calls async-signal-safe functions.
std::string ResolveProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  for (std::size_t from = 0; from <= dirs.size();) {
    std::size_t end = dirs.find(':', from);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(from, end - from);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    from = end + 1;
  }
  return program;  // execve fails, the child exits 127, and starting fails below
}

}  // namespace

SimProcess::SimProcess(const std::string& program, const std::vector<std::string>& args,
                       std::chrono::milliseconds timeout) {
  // Everything the child needs is made here: between fork and exec it may not allocate.
  std::string path = ResolveProgram(program);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  char** envp = environ;
  int fds[2];
  // Close-on-exec, so that neither end leaks into this or any other child's program.
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("parley-sim: cannot make a pipe");
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) {
    close(fds[0]);
    close(fds[1]);
    throw std::runtime_error("parley-sim: cannot fork");
  }
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);              // the parent is already gone
    if (dup2(fds[1], STDOUT_FILENO) < 0) _exit(127);  // dup2 clears close-on-exec
    execve(path.c_str(), argv.data(), envp);
    _exit(127);
  }
  close(fds[1]);
  out_fd_ = fds[0];
  first_line_ = ReadLine(timeout);
  if (first_line_.empty()) {
    Stop();  // the destructor does not run for a constructor that throws
    throw std::runtime_error("parley-sim (" + program +
                             ") did not start: is it built, and can this system make "
                             "pseudo-terminals?");
  }
}

void SimProcess::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  if (out_fd_ >= 0) close(out_fd_);
  out_fd_ = -1;
}

SimProcess::~SimProcess() { Stop(); }

std::string SimProcess::ReadLine(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (auto nl = pending_.find('\n'); nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return "";
    pollfd p{out_fd_, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return "";
    char buffer[256];
    ssize_t n = read(out_fd_, buffer, sizeof buffer);
    if (n <= 0) return "";
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string DefaultSimProgram() {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    auto beside = self.parent_path() / "parley-sim";
    if (std::filesystem::exists(beside, ec)) return beside.string();
  }
  return "parley-sim";
}

}  // namespace parley::sim
