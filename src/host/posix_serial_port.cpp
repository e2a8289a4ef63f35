// The serial facility of the real host: a tty, USB adapter or pseudo-terminal through termios,
// on the thread's loop.
//
// Received bytes are read as soon as they arrive into a buffer of our own (Available,
// TakeReceived) and OnReadable tells the receive path at once. The device is watched by the
// host (AsioHost::Watch): it stays registered for readiness, and after every pass of the loop
// it is read here, so an answer costs the wait and one read, with no call to re-arm the
// descriptor. A read shorter than the buffer took all there was. While that buffer holds
// kReceiveLimit bytes, reading pauses and the kernel's buffer holds the rest, so a unit that
// talks without pause cannot grow memory without bound. Line errors come from the device's
// error counters (TIOCGICOUNT, offered by UART and most USB adapter drivers; a pseudo-terminal
// has no line to fail).
//
// Opening asks the driver for low latency (ASYNC_LOW_LATENCY): the common USB adapters otherwise
// hold received bytes for up to 16 ms before passing them on, which would add that much to
// every exchange. A driver without the setting (a pseudo-terminal, a plain UART driver that
// refuses) is used as it is. PARLEY_SERIAL_LOW_LATENCY=0 leaves the driver's setting alone;
// a flag this program set is cleared again when the port closes.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "host/asio_host.hpp"
#include "host/serial_line.hpp"
#include "host/serial_port.hpp"
#include "parley/errors.hpp"
#include "parley/serial.hpp"

namespace parley::detail {
namespace {

constexpr const char* kSource = "SerialPort";
constexpr std::size_t kReceiveLimit = 1 << 20;
constexpr int32_t kPortNotOpen = 8018;  // an operation that needs an open port
// The device numbers of pseudo-terminal slaves (/dev/pts/N).
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

[[noreturn]] void Fail(int32_t number, const std::string& text) {
  throw AutomationError(number, kSource, text);
}

// Only an opening refused because another program has the device (EBUSY, a lock) or because it
// is momentarily unavailable (EAGAIN) is worth waiting for; anything else cannot get better by
// waiting, and fails on the first attempt.
int32_t OpenFailureNumber(int error) {
  switch (error) {
    case EBUSY:
    case EWOULDBLOCK:
      return kSerialPortInUse;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return err::SerialPortNotFound;
    default:  // EACCES, EPERM, ENOTTY, EISDIR, EIO, ...
      return err::ErrorInitializingCommPort;
  }
}

tcflag_t SizeOf(int bits) {
  switch (bits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

// A pseudo-terminal has no line: the kernel keeps 8 bits without parity whatever was asked,
// and the C library reports that as EINVAL although everything else was applied. Such a
// device is taken as it is.
bool OnlyLineFormatRefused(int fd, const termios& wanted) {
  if (errno != EINVAL) return false;
  termios now{};
  if (tcgetattr(fd, &now) != 0) return false;
  return now.c_iflag == wanted.c_iflag && now.c_lflag == wanted.c_lflag &&
         cfgetospeed(&now) == cfgetospeed(&wanted);
}

// Raw bytes both ways, no flow control, modem lines ignored. A byte received with a parity or
// framing error arrives as NUL; the error itself is counted by the device.
void ApplyLine(int fd, const LineSettings& line) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) Fail(err::ErrorInitializingCommPort, std::strerror(errno));
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  tio.c_cflag |= SizeOf(line.data_bits);
  if (line.parity != 'n') tio.c_cflag |= PARENB | (line.parity == 'o' ? PARODD : 0);
  if (line.parity != 'n') tio.c_iflag |= INPCK;
  if (line.stop_bits == 2) tio.c_cflag |= CSTOPB;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, *LineSpeed(line.bit_rate));  // parsed settings hold a known rate
  cfsetospeed(&tio, *LineSpeed(line.bit_rate));
  if (tcsetattr(fd, TCSANOW, &tio) != 0 && !OnlyLineFormatRefused(fd, tio)) {
    Fail(err::ErrorInitializingCommPort, std::strerror(errno));
  }
}

std::optional<LineCounters> ReadCounters(int fd) {
  serial_icounter_struct c{};
  if (ioctl(fd, TIOCGICOUNT, &c) != 0) return std::nullopt;
  LineCounters counters;
  counters.brk = static_cast<uint32_t>(c.brk);
  counters.frame = static_cast<uint32_t>(c.frame);
  counters.overrun = static_cast<uint32_t>(c.overrun);
  counters.buf_overrun = static_cast<uint32_t>(c.buf_overrun);
  counters.parity = static_cast<uint32_t>(c.parity);
  return counters;
}

// True when this call turned the driver's low-latency flag on (so closing turns it off again).
bool RequestLowLatency(int fd) {
  if (!LowLatencyWanted(std::getenv(kLowLatencyVariable))) return false;
  serial_struct info{};
  if (ioctl(fd, TIOCGSERIAL, &info) != 0 || (info.flags & ASYNC_LOW_LATENCY) != 0) return false;
  info.flags |= ASYNC_LOW_LATENCY;
  return ioctl(fd, TIOCSSERIAL, &info) == 0;  // a refusal leaves the device as it was
}

void ReleaseLowLatency(int fd) {
  serial_struct info{};
  if (ioctl(fd, TIOCGSERIAL, &info) != 0) return;
  info.flags &= ~ASYNC_LOW_LATENCY;
  ioctl(fd, TIOCSSERIAL, &info);
}

// Opens `path` for this program alone: TIOCEXCL keeps other openers out, and an advisory lock
// does the same for privileged openers (whom TIOCEXCL lets through) and other programs that
// lock the device.
// Undoes what OpenExclusive claimed, before the descriptor is closed. The exclusive flag
// belongs to the terminal, not to the descriptor: a pseudo-terminal outlives its closed
// descriptor, and a flag left set refuses every later opening by an unprivileged user.
void ReleaseExclusive(int fd) {
  ioctl(fd, TIOCNXCL);
  flock(fd, LOCK_UN);  // also held by a duplicate a child may have kept past exec
}

// The exclusive flag lives in the terminal, and a pseudo-terminal lives as long as its other
// side: a program killed while it holds one (no chance to clear the flag) would leave it
// refused to every unprivileged opener for good. There the advisory lock alone keeps other
// openers out; the kernel drops it with the last descriptor, however the program ended.
bool IsPseudoTerminal(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  unsigned m = major(st.st_rdev);
  return m >= kPtySlaveMajorFirst && m <= kPtySlaveMajorLast;
}

int OpenExclusive(const std::string& path) {
  if (path.empty()) Fail(err::SerialPortNotFound, "No device for this port number.");
  if (path.find('\0') != std::string::npos) {
    Fail(err::ErrorInitializingCommPort, "The device path holds a NUL byte.");
  }
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int error = errno;
    Fail(OpenFailureNumber(error), path + ": " + std::strerror(error));
  }
  int error = 0;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) error = errno;
  if (error == 0 && !isatty(fd)) error = ENOTTY;
  if (error == 0 && !IsPseudoTerminal(fd) && ioctl(fd, TIOCEXCL) != 0) error = errno;
  if (error != 0) {
    ::close(fd);
    Fail(OpenFailureNumber(error),
         path + ": " +
             (error == EWOULDBLOCK ? std::string("in use by another program")
              : error == ENOTTY    ? std::string("not a terminal device")
                                   : std::strerror(error)));
  }
  return fd;
}

class PosixSerialPort;

// The kernel queues whose flush is owed (see PosixSerialPort::DiscardInBuffer).
enum PendingFlush : unsigned { kFlushNone = 0, kFlushInput = 1, kFlushOutput = 2 };

// One opening of the device. Pending reads and writes hold it, so they can finish after the
// port was closed or the facility destroyed; `owner` is cleared then.
struct Channel {
  explicit Channel(AsioHost& h) : host(h), port(h.io()) {}
  AsioHost& host;
  asio::posix::stream_descriptor port;
  PosixSerialPort* owner = nullptr;
  std::string rx;
  std::array<char, 4096> chunk{};
  std::shared_ptr<AsioHost::Watcher> watch;  // reading after every pass of the loop
  bool reading = false;                      // a read is under way (its handlers may nest)
  bool paused = false;                       // stopped at kReceiveLimit
  unsigned pending_flush = kFlushNone;
  std::string tx;
  bool writing = false;
  std::optional<LineCounters> counters;
  bool low_latency_set = false;  // this opening turned the driver's low-latency flag on
};

class PosixSerialPort : public SerialPort {
 public:
  explicit PosixSerialPort(AsioHost& host) : host_(host) {}
  ~PosixSerialPort() override { Shut(); }

  int16_t CommPort() const override { return port_; }
  void CommPort(int16_t port) override { port_ = port; }
  std::string DevicePath() const override { return device_path_; }
  void DevicePath(const std::string& path) override { device_path_ = path; }
  std::string Settings() const override { return settings_; }
  void Settings(const std::string& text) override {
    auto parsed = ParseLineSettings(text);
    if (!parsed) Fail(err::InvalidPropertyValue, "Invalid line settings \"" + text + "\".");
    if (channel_) ApplyLine(channel_->port.native_handle(), *parsed);
    line_ = *parsed;
    settings_ = text;
  }
  bool PortOpen() const override { return channel_ != nullptr; }
  void PortOpen(bool open) override { open ? Open() : Shut(); }
  std::size_t Available() const override;
  void DiscardInBuffer() override;
  void DiscardOutBuffer() override;
  std::string TakeReceived() override;
  void Write(std::string_view bytes) override;

  void Received(Channel& c, std::size_t n);
  // Reports a failed read or write of the device as the lost-line error.
  void LineLost(const std::string& reason) {
    if (OnError) {
      auto handler = OnError;
      handler(kSerialLineLost, Device() + ": " + reason);
    }
  }

 private:
  std::string Device() const {
    return device_path_.empty() ? SerialDevicePath(port_) : device_path_;
  }
  void Open();
  void Shut();
  void FlushOwed();
  void ReportLineError(int16_t event);

  AsioHost& host_;
  int16_t port_ = 1;
  std::string device_path_;
  std::string settings_ = "9600,n,8,1";
  LineSettings line_;
  std::shared_ptr<Channel> channel_;
};

void ReadAvailable(const std::shared_ptr<Channel>& c);

// Reading starts, and resumes after a pause, with a read of what may already be there: its
// readiness was reported before (and will not be again). The read runs from the loop so that
// the receive path is never entered from inside one of its own calls.
void StartRead(const std::shared_ptr<Channel>& c) {
  if (!c->owner) return;
  c->paused = false;
  asio::post(c->port.get_executor(), [c] { ReadAvailable(c); });
}

void ResumeRead(const std::shared_ptr<Channel>& c) {
  if (c->paused && c->rx.size() < kReceiveLimit) StartRead(c);
}

// The device is gone (EIO when an adapter is unplugged, a hang-up): reading ends, and the port
// reports the lost line so that the exchange ends now instead of by its timeout.
void EndReading(Channel& c, ssize_t n) {
  c.watch.reset();
  c.owner->LineLost(n == 0 ? "read: hang-up (the other side of the line went away)"
                           : "read: " + std::string(std::strerror(errno)));
}

// Reads until the device has nothing more (see ReadWatched).
void ReadAvailable(const std::shared_ptr<Channel>& c) {
  auto read_once = [&]() -> std::size_t {
    if (!c->owner || !c->watch) return 0;
    if (c->rx.size() >= kReceiveLimit) {
      c->paused = true;
      return 0;
    }
    ssize_t n = ::read(c->port.native_handle(), c->chunk.data(), c->chunk.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    if (n <= 0) {
      EndReading(*c, n);
      return 0;
    }
    c->owner->Received(*c, static_cast<std::size_t>(n));
    return static_cast<std::size_t>(n);
  };
  ReadWatched(c->host, c->reading, c->chunk.size(), read_once, [&] { StartRead(c); });
}

void StartWrite(const std::shared_ptr<Channel>& c) {
  if (c->writing || c->tx.empty() || !c->owner) return;
  c->writing = true;
  auto bytes = std::make_shared<std::string>(std::move(c->tx));
  c->tx.clear();
  asio::async_write(c->port, asio::buffer(*bytes), [c, bytes](std::error_code ec, std::size_t) {
    c->writing = false;
    if (ec && ec != asio::error::operation_aborted && c->owner) {
      c->owner->LineLost("write: " + ec.message());
      return;
    }
    StartWrite(c);
  });
}

void PosixSerialPort::Open() {
  if (channel_) Fail(kSerialPortAlreadyOpen, "Port already open.");
  int fd = OpenExclusive(Device());
  auto c = std::make_shared<Channel>(host_);
  std::error_code ec;
  c->port.assign(fd, ec);
  if (ec) {
    ReleaseExclusive(fd);
    ::close(fd);
    Fail(err::ErrorInitializingCommPort, ec.message());
  }
  try {
    ApplyLine(fd, line_);
  } catch (...) {
    ReleaseExclusive(fd);
    throw;  // the descriptor closes with the channel
  }
  c->low_latency_set = RequestLowLatency(fd);
  tcflush(fd, TCIOFLUSH);  // nothing from before this opening
  c->counters = ReadCounters(fd);
  c->owner = this;
  std::weak_ptr<Channel> weak = c;
  c->watch = host_.Watch([weak] {
    if (auto channel = weak.lock()) ReadAvailable(channel);
  });
  channel_ = c;
  StartRead(c);
}

void PosixSerialPort::Shut() {
  if (!channel_) return;
  auto c = std::move(channel_);
  c->owner = nullptr;
  c->watch.reset();
  // Unsent output is dropped: closing must not wait on a line that flow control has stalled.
  tcflush(c->port.native_handle(), TCOFLUSH);
  if (c->low_latency_set) ReleaseLowLatency(c->port.native_handle());
  ReleaseExclusive(c->port.native_handle());
  std::error_code ec;
  c->port.close(ec);
}

// The kernel's queues are flushed when the next command is written, both in one call: the
// engine clears input and then output before every command, and one flush costs half of two.
// Bytes that arrive meanwhile are dropped with the rest, so nothing from before the command
// survives.
void PosixSerialPort::DiscardInBuffer() {
  if (!channel_) return;
  channel_->rx.clear();
  channel_->pending_flush |= kFlushInput;
  ResumeRead(channel_);
}

void PosixSerialPort::DiscardOutBuffer() {
  if (!channel_) return;
  channel_->tx.clear();
  channel_->pending_flush |= kFlushOutput;
}

void PosixSerialPort::FlushOwed() {
  auto& c = *channel_;
  if (c.pending_flush == kFlushNone) return;
  int queues = c.pending_flush == (kFlushInput | kFlushOutput) ? TCIOFLUSH
               : c.pending_flush == kFlushInput                ? TCIFLUSH
                                                               : TCOFLUSH;
  tcflush(c.port.native_handle(), queues);
  if (c.pending_flush & kFlushInput) c.rx.clear();
  c.pending_flush = kFlushNone;
}

std::size_t PosixSerialPort::Available() const {
  if (!channel_ || (channel_->pending_flush & kFlushInput)) return 0;
  return channel_->rx.size();
}

std::string PosixSerialPort::TakeReceived() {
  if (!channel_) return {};
  FlushOwed();
  std::string taken;
  taken.swap(channel_->rx);
  ResumeRead(channel_);
  return taken;
}

void PosixSerialPort::Write(std::string_view bytes) {
  if (!channel_) Fail(kPortNotOpen, "Operation valid only when the port is open.");
  FlushOwed();
  auto& c = *channel_;
  if (!c.writing && c.tx.empty()) {
    // What the device takes at once is written now, without a trip through the loop; the
    // rest goes out asynchronously.
    ssize_t n = ::write(c.port.native_handle(), bytes.data(), bytes.size());
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      Fail(kSerialLineLost, "write: " + std::string(std::strerror(errno)));
    }
    if (n > 0) bytes.remove_prefix(static_cast<std::size_t>(n));
    if (bytes.empty()) return;
  }
  c.tx.append(bytes);
  StartWrite(channel_);
}

void PosixSerialPort::Received(Channel& c, std::size_t n) {
  c.rx.append(c.chunk.data(), n);
  if (c.counters) {
    if (auto now = ReadCounters(c.port.native_handle())) {
      auto before = *c.counters;
      c.counters = now;
      for (int16_t event : LineErrorEvents(before, *now)) ReportLineError(event);
    }
  }
  if (c.owner && OnReadable) OnReadable();
}

void PosixSerialPort::ReportLineError(int16_t event) {
  if (OnError) OnError(event, "line error");
}

}  // namespace

std::unique_ptr<SerialPort> MakePosixSerialPort(AsioHost& host) {
  return std::make_unique<PosixSerialPort>(host);
}

}  // namespace parley::detail
