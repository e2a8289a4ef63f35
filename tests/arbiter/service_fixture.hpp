// A private runtime folder for parley-connd per test, and programs sharing one simulator's
// pseudo-terminal through it. The service started by a test is ended and the folder removed
// when the test ends.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "arbiter/manager_protocol.hpp"
#include "sim_process.hpp"

namespace parley::testing {

// The lines one program printed, read as they come.
struct ProgramOutput {
  std::vector<std::string> lines;
  bool done = false;
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& l : lines) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
};

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/parley-connd-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    runtime_ = name;
    setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
    setenv("PARLEY_CONND", PARLEY_CONND_PATH, 1);
    setenv("PARLEY_CONND_IDLE", "1", 1);
  }

  void TearDown() override {
    programs.clear();
    sim.reset();
    StopService();
    std::error_code ec;
    std::filesystem::remove_all(runtime_, ec);
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("PARLEY_CONND");
    unsetenv("PARLEY_CONND_IDLE");
  }

  std::string Folder() const { return runtime_ + "/parley"; }

  // The pid of the running service, or -1.
  pid_t ServicePid() const {
    std::ifstream in(detail::manager::LockPath(Folder()));
    pid_t pid = -1;
    if (!(in >> pid)) return -1;
    return ServiceRunning() ? pid : -1;
  }

  // Whether a service holds the folder's lock.
  bool ServiceRunning() const {
    int fd = ::open(detail::manager::LockPath(Folder()).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
  }

  // Waits (bounded) until no service runs; true when it ended.
  bool WaitServiceGone(std::chrono::milliseconds within) const {
    auto until = std::chrono::steady_clock::now() + within;
    while (ServiceRunning()) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  void StopService() {
    pid_t pid = ServicePid();
    if (pid > 0) kill(pid, SIGTERM);
    EXPECT_TRUE(WaitServiceGone(std::chrono::seconds(5)));
  }

  void StartSim() {
    sim = std::make_unique<sim::SimProcess>(PARLEY_SIM_PATH, std::vector<std::string>{});
  }

  // Starts a port_user on the simulator's device.
  sim::SimProcess& StartProgram(std::vector<std::string> args) {
    args.insert(args.begin(), sim->first_line());
    programs.push_back(std::make_unique<sim::SimProcess>(PARLEY_PORT_USER_PATH, args));
    outputs.emplace_back();
    return *programs.back();
  }

  // Reads the lines of every program from index `first` on until each printed `until` (or
  // `within` passed).
  void Collect(const std::string& until, std::chrono::seconds within, std::size_t first = 0) {
    auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
      bool all = true;
      for (std::size_t i = first; i < programs.size(); ++i) {
        auto& out = outputs[i];
        if (out.done) continue;
        for (;;) {
          std::string line = programs[i]->ReadLine(std::chrono::milliseconds(10));
          if (line.empty()) break;
          out.lines.push_back(line);
          if (line.rfind(until, 0) == 0) {
            out.done = true;
            break;
          }
        }
        all = all && out.done;
      }
      if (all || std::chrono::steady_clock::now() > deadline) break;
    }
    for (auto& out : outputs) out.done = false;
  }

  std::unique_ptr<sim::SimProcess> sim;
  std::vector<std::unique_ptr<sim::SimProcess>> programs;
  std::vector<ProgramOutput> outputs;

 private:
  std::string runtime_;
};

}  // namespace parley::testing
