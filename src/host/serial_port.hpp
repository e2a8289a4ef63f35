// The serial port facility: what the serial transport needs of a port.
//
// Implementations: posix_serial_port (termios on a tty, USB adapter or pseudo-terminal) and
// sim_serial_port (a scripted remote unit on the virtual host). Received bytes are kept
// unchanged, one char per byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "host/byte_stream.hpp"

namespace parley::detail {

// Numbers a failed opening is reported with (as AutomationError) when the port is in use or
// temporarily unavailable; the port wait recognises and ignores exactly these. An opening that
// can never succeed (no such device, not a terminal, not permitted) fails with the catalogue's
// SerialPortNotFound or ErrorInitializingCommPort instead, and its description holds the
// system's reason.
inline constexpr int32_t kSerialDeviceUnavailable = 68;
inline constexpr int32_t kSerialPortAlreadyOpen = 8005;
inline constexpr int32_t kSerialPortInUse = 8012;

inline bool IsPortBusyRefusal(int32_t number) {
  return number == kSerialDeviceUnavailable || number == kSerialPortAlreadyOpen ||
         number == kSerialPortInUse;
}

// The line error a port reports when reading or writing the device fails (EIO when a USB
// adapter is unplugged, a hang-up): the carrier, and with it the line, is gone. The exchange
// under way ends at once with it.
inline constexpr int32_t kSerialLineLost = 1007;

// A serial port: the byte stream plus its line settings. Line errors (1001..1011) arrive as
// OnError with their event code.
class SerialPort : public ByteStream {
 public:
  virtual int16_t CommPort() const = 0;
  virtual void CommPort(int16_t port) = 0;
  // The device to open; empty: the port map's device for CommPort, looked up at each opening.
  virtual std::string DevicePath() const = 0;
  virtual void DevicePath(const std::string& path) = 0;
  // Line settings text such as "9600,o,7,1"; a malformed text throws AutomationError(380).
  virtual std::string Settings() const = 0;
  virtual void Settings(const std::string& text) = 0;
  virtual bool PortOpen() const = 0;
  // Opening throws AutomationError; an in-use or unavailable port uses the numbers above.
  virtual void PortOpen(bool open) = 0;
  void Close() override { PortOpen(false); }
  virtual void DiscardInBuffer() = 0;   // also accepted while closed
  virtual void DiscardOutBuffer() = 0;  // also accepted while closed
};

}  // namespace parley::detail
