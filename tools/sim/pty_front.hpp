// The pseudo-terminal front of parley-sim: the remote unit behind a pty's master side.
//
// A client opens the slave device (DevicePath) as if it were a serial port. The front keeps a
// descriptor of the slave open itself, so that the master stays readable (instead of reporting
// a hang-up over and over) while no client has the device open, and so that the device keeps
// existing between one client's close and the next one's open.
//
// Each client starts afresh: the front watches the device's openings and closings (inotify), and
// when the last client has closed it, whatever that client sent is taken and an unterminated
// command it left is dropped. Without inotify the front still works, only without that reset.
#pragma once

#include <array>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <deque>
#include <memory>
#include <string>

#include "remote_unit.hpp"

namespace parley::sim {

class PtyFront {
 public:
  // Throws std::system_error when no pseudo-terminal can be made.
  PtyFront(asio::io_context& io, std::shared_ptr<const UnitConfig> config);
  ~PtyFront();
  PtyFront(const PtyFront&) = delete;
  PtyFront& operator=(const PtyFront&) = delete;

  const std::string& DevicePath() const { return device_path_; }

 private:
  void ReadMore();
  void ReadAvailable();  // everything the master has now, without blocking
  void WatchClients();
  void ReadClientEvents();
  void OnClientEvents(std::size_t bytes);
  void Queue(std::vector<Emission> emissions);
  void ArmNext();
  void WriteMore();
  Millis Now() const;

  asio::posix::stream_descriptor master_;
  int slave_keepalive_ = -1;
  std::string device_path_;
  RemoteUnit unit_;
  std::chrono::steady_clock::time_point start_;
  std::array<char, 4096> read_buffer_{};
  asio::posix::stream_descriptor watch_;  // inotify on the device; closed when unavailable
  alignas(8) std::array<char, 4096> event_buffer_{};
  int clients_ = 0;           // openings of the device but ours, less their closings
  std::deque<Emission> due_;  // in time order (the engine never goes back in time)
  asio::steady_timer timer_;
  bool timer_armed_ = false;
  std::string to_write_;
  bool writing_ = false;
};

}  // namespace parley::sim
