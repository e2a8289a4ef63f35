// Starting and ending a parley-sim process from a test or a tool.
//
// The child is ended (SIGTERM, then waited for) when the SimProcess is destroyed, and also
// when the parent dies, so a crashed test leaves no simulator behind. A start that fails leaves
// neither a child process nor a descriptor behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace parley::sim {

class SimProcess {
 public:
  // Starts `program` with `args` and waits up to `timeout` for its first line of output (the
  // pseudo-terminal's device path). Throws std::runtime_error when it cannot start or prints
  // nothing in time.
  SimProcess(const std::string& program, const std::vector<std::string>& args,
             std::chrono::milliseconds timeout = std::chrono::seconds(5));
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  const std::string& first_line() const { return first_line_; }
  // The next line of output (without its line feed); empty when none comes within `timeout`.
  std::string ReadLine(std::chrono::milliseconds timeout);
  pid_t pid() const { return pid_; }

 private:
  void Stop();  // ends the child and closes the pipe

  pid_t pid_ = -1;
  int out_fd_ = -1;
  std::string pending_;
  std::string first_line_;
};

// parley-sim next to the running program when it is there, otherwise "parley-sim" (PATH).
std::string DefaultSimProgram();

}  // namespace parley::sim
