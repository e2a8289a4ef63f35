#include "pty_front.hpp"

#include <fcntl.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <asio/read.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace parley::sim {
namespace {

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

int OpenMaster() {
  // Non-blocking, so that reading drains what is there and never waits.
  int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) ThrowErrno("posix_openpt");
  if (grantpt(fd) != 0 || unlockpt(fd) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    ThrowErrno("grantpt/unlockpt");
  }
  return fd;
}

// A raw line, so the unit sees exactly the bytes the client sends and vice versa, even before
// a client has set its own line settings.
void MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) ThrowErrno("tcgetattr");
  cfmakeraw(&tio);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) ThrowErrno("tcsetattr");
}

}  // namespace

PtyFront::PtyFront(asio::io_context& io, std::shared_ptr<const UnitConfig> config)
    : master_(io, OpenMaster()),
      unit_(std::move(config)),
      start_(std::chrono::steady_clock::now()),
      watch_(io),
      timer_(io) {
  const char* name = ptsname(master_.native_handle());
  if (!name) ThrowErrno("ptsname");
  device_path_ = name;
  slave_keepalive_ = open(device_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slave_keepalive_ < 0) ThrowErrno("open pty slave");
  MakeRaw(slave_keepalive_);
  WatchClients();
  ReadMore();
}

PtyFront::~PtyFront() {
  if (slave_keepalive_ >= 0) close(slave_keepalive_);
}

Millis PtyFront::Now() const {
  return std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - start_);
}

// Bytes are read in this front's own handlers only, so none sit read but unprocessed when a
// client's closing is handled.
void PtyFront::ReadMore() {
  master_.async_wait(asio::posix::stream_descriptor::wait_read, [this](std::error_code ec) {
    if (ec == asio::error::operation_aborted) return;
    ReadAvailable();
    // EIO cannot last: the front's own slave descriptor keeps the master alive.
    ReadMore();
  });
}

void PtyFront::ReadAvailable() {
  for (;;) {
    ssize_t n = ::read(master_.native_handle(), read_buffer_.data(), read_buffer_.size());
    if (n <= 0) return;
    Queue(unit_.Receive(Now(), std::string_view(read_buffer_.data(), static_cast<size_t>(n))));
  }
}

void PtyFront::WatchClients() {
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return;
  if (inotify_add_watch(fd, device_path_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
    close(fd);
    return;
  }
  watch_.assign(fd);
  ReadClientEvents();
}

void PtyFront::ReadClientEvents() {
  watch_.async_read_some(asio::buffer(event_buffer_), [this](std::error_code ec, std::size_t n) {
    if (ec) return;
    OnClientEvents(n);
    ReadClientEvents();
  });
}

void PtyFront::OnClientEvents(std::size_t bytes) {
  bool last_left = false;
  for (std::size_t at = 0; at + sizeof(inotify_event) <= bytes;) {
    const auto* event = reinterpret_cast<const inotify_event*>(event_buffer_.data() + at);
    if (event->mask & IN_OPEN) ++clients_;
    if ((event->mask & IN_CLOSE) && clients_ > 0 && --clients_ == 0) last_left = true;
    if (event->mask & IN_Q_OVERFLOW) clients_ = 0, last_left = true;  // lost count: start over
    at += sizeof(inotify_event) + event->len;
  }
  if (!last_left) return;
  // What the client wrote before closing has reached the master by now (reading an empty master
  // flushes the kernel's pending input first); take it, then forget its unfinished command.
  ReadAvailable();
  unit_.DropPartialCommand();
}

void PtyFront::Queue(std::vector<Emission> emissions) {
  for (auto& e : emissions) due_.push_back(std::move(e));
  ArmNext();
}

void PtyFront::ArmNext() {
  if (timer_armed_ || due_.empty()) return;
  timer_armed_ = true;
  timer_.expires_at(start_ + due_.front().at);
  timer_.async_wait([this](std::error_code ec) {
    timer_armed_ = false;
    if (ec) return;
    Millis now = Now();
    while (!due_.empty() && due_.front().at <= now) {
      to_write_ += due_.front().bytes;
      due_.pop_front();
    }
    WriteMore();
    ArmNext();
  });
}

void PtyFront::WriteMore() {
  if (writing_ || to_write_.empty()) return;
  writing_ = true;
  auto chunk = std::make_shared<std::string>(std::move(to_write_));
  to_write_.clear();
  asio::async_write(master_, asio::buffer(*chunk), [this, chunk](std::error_code ec, std::size_t) {
    writing_ = false;
    if (ec == asio::error::operation_aborted) return;
    WriteMore();
  });
}

}  // namespace parley::sim
