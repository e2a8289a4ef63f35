// parley-connd: the per-user connection manager through which programs share serial ports.
//
// Without arguments it serves on the local socket in the user's runtime folder and ends by
// itself after a while without clients (PARLEY_CONND_IDLE seconds, 30 by default, or
// --idle-exit SECONDS). Programs start it on demand; nobody needs to start it by hand. Under
// systemd it can be socket-activated (parley-connd.socket).
//
// Commands for people and tools:
//   --status            lists each device with its locker, holder, waiting and using programs
//   --lock DEVICE|N     locks a device (or port number N as this program maps it) for every
//                       other program until SIGINT or SIGTERM; their transactions fail with
//                       "COMM port is locked ..."
//   --unlock DEVICE|N   ends a lock, whoever holds it
//   --reset DEVICE|N    tells every program using the device that it was reset
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/signal_set.hpp>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "arbiter/manager_protocol.hpp"
#include "parley/connection.hpp"
#include "parley/errors.hpp"
#include "parley/serial.hpp"
#include "server.hpp"

namespace {

namespace manager = parley::detail::manager;
using asio::local::stream_protocol;

int Serve(double idle_seconds) {
  std::string why;
  std::string folder = manager::RuntimeFolder(&why);
  if (folder.empty()) {
    std::cerr << "parley-connd: " << why << "\n";
    return 1;
  }
  // One service per user: whoever holds the lock serves, everyone else leaves it to them.
  int lock_fd = ::open(manager::LockPath(folder).c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  if (lock_fd < 0 || flock(lock_fd, LOCK_EX | LOCK_NB) != 0) return 0;
  // Who serves, for people and tests that need to stop it.
  std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(lock_fd, 0) != 0 || ::write(lock_fd, pid.data(), pid.size()) < 0) {
    std::cerr << "parley-connd: cannot note the pid: " << std::strerror(errno) << "\n";
  }

  std::signal(SIGPIPE, SIG_IGN);
  asio::io_context io(1);
  std::string path = manager::SocketPath(folder);
  const char* listen_pid = std::getenv("LISTEN_PID");
  const char* listen_fds = std::getenv("LISTEN_FDS");
  bool activated =
      listen_pid && listen_fds && std::atoi(listen_pid) == getpid() && std::atoi(listen_fds) >= 1;
  stream_protocol::acceptor acceptor(io);
  try {
    if (activated) {
      acceptor.assign(stream_protocol(), 3);
    } else {
      // We hold the lock, so a socket file left here is a dead service's.
      ::unlink(path.c_str());
      acceptor = parley::connd::Listen(io, path);
    }
  } catch (const std::exception& e) {
    std::cerr << "parley-connd: " << path << ": " << e.what() << "\n";
    return 1;
  }

  parley::connd::Server server(io, std::move(acceptor), path, !activated, idle_seconds);
  asio::signal_set signals(io, SIGTERM, SIGINT);
  signals.async_wait([&](std::error_code, int) { io.stop(); });
  server.Start();
  io.run();
  server.RemoveSocketFile();
  ::close(lock_fd);
  return 0;
}

std::string DeviceArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_not_of("0123456789") == std::string::npos) {
    return parley::SerialDevicePath(std::stoi(arg));
  }
  return arg;
}

std::string Program(const std::optional<parley::ManagedProgram>& p) {
  return p ? std::to_string(p->pid) + " " + p->name : "-";
}

std::string Programs(const std::vector<parley::ManagedProgram>& list) {
  if (list.empty()) return "-";
  std::string s;
  for (const auto& p : list) s += (s.empty() ? "" : ", ") + std::to_string(p.pid) + " " + p.name;
  return s;
}

// Holds the lock until the user ends the command; the lock ends with this process either way.
int HoldLock(const std::string& device) {
  auto lock = parley::LockSerialDevice(device);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  std::cout << "parley-connd: locked " << parley::EscapeDevicePath(lock.device())
            << " for every other program until Ctrl-C or SIGTERM" << std::endl;
  int which = 0;
  sigwait(&stop, &which);
  lock.Release();
  std::cout << "parley-connd: unlocked " << parley::EscapeDevicePath(lock.device()) << "\n";
  return 0;
}

int Status() {
  auto devices = parley::ConnectionManagerStatus();
  if (!devices) {
    std::cout << "no connection manager is running\n";
    return 0;
  }
  for (const auto& d : *devices) {
    std::cout << parley::EscapeDevicePath(d.device) << "\n  locked by: " << Program(d.locker)
              << "\n  holder:    " << Program(d.holder) << "\n  waiting:   " << Programs(d.waiting)
              << "\n  using:     " << Programs(d.users) << "\n";
  }
  return 0;
}

const char* kHelp =
    "Usage: parley-connd [--idle-exit SECONDS | --status | --lock DEVICE|N | --unlock DEVICE|N |"
    " --reset DEVICE|N]\n"
    "The per-user connection manager through which programs share serial ports. Programs start\n"
    "it when they need it; without an option it serves until 30 s after its last client left\n"
    "(PARLEY_CONND_IDLE seconds).\n"
    "\n"
    "Options:\n"
    "  --idle-exit SECONDS  serve, ending SECONDS after the last client left\n"
    "  --status             list each device with its locker, holder, waiting and using programs\n"
    "  --lock DEVICE|N      lock a device, or port number N as this program maps it, for every\n"
    "                       other program until Ctrl-C or SIGTERM: their transactions fail\n"
    "  --unlock DEVICE|N    end a lock on the device, whoever holds it\n"
    "  --reset DEVICE|N     tell every program using the device that it was reset\n"
    "  --help               print this help\n"
    "  --version            print the version\n";

int Usage() {
  std::cerr << "usage: parley-connd [--idle-exit SECONDS] | --status | --lock DEVICE|N |"
               " --unlock DEVICE|N | --reset DEVICE|N\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string cmd = argc > 1 ? argv[1] : "";
  try {
    if (cmd.empty()) return Serve(manager::IdleExitSeconds());
    if (cmd == "--help" && argc == 2) {
      std::cout << kHelp;
      return 0;
    }
    if (cmd == "--version" && argc == 2) {
      std::cout << "parley-connd " << PARLEY_VERSION << "\n";
      return 0;
    }
    if (cmd == "--idle-exit" && argc == 3) return Serve(std::strtod(argv[2], nullptr));
    if (cmd == "--status" && argc == 2) return Status();
    if (cmd == "--lock" && argc == 3) return HoldLock(DeviceArgument(argv[2]));
    if (cmd == "--unlock" && argc == 3) {
      parley::UnlockSerialDevice(DeviceArgument(argv[2]));
      return 0;
    }
    if (cmd == "--reset" && argc == 3) {
      parley::NotifySerialDeviceReset(DeviceArgument(argv[2]));
      return 0;
    }
  } catch (const parley::AutomationError& e) {
    std::cerr << "parley-connd: " << e.Description() << "\n";
    return 1;
  }
  return Usage();
}
