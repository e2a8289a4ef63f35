// The pseudo-terminal front of parley-sim: the remote unit behind a pty's master side.
//
// A client opens the slave device (DevicePath) as if it were a serial port. The front keeps a
// descriptor of the slave open itself, so that the master stays readable (instead of reporting
// a hang-up over and over) while no client has the device open, and so that the device keeps
// existing between one client's close and the next one's open.
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
  std::deque<Emission> due_;  // in time order (the engine never goes back in time)
  asio::steady_timer timer_;
  bool timer_armed_ = false;
  std::string to_write_;
  bool writing_ = false;
};

}  // namespace parley::sim
