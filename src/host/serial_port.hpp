// The serial port facility: what the serial transport needs of a port.
//
// Implementations: posix_serial_port (termios on a tty, USB adapter or pseudo-terminal) and
// sim_serial_port (a scripted remote unit on the virtual host). Received bytes are kept
// unchanged, one char per byte.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace parley::detail {

// Numbers a failed opening is reported with (as AutomationError) when the port is in use or
// unavailable; the port wait recognises and ignores exactly these.
inline constexpr int32_t kSerialDeviceUnavailable = 68;
inline constexpr int32_t kSerialPortAlreadyOpen = 8005;
inline constexpr int32_t kSerialPortInUse = 8012;
inline constexpr int32_t kSerialDeviceNotOpen = 8013;

inline bool IsPortBusyRefusal(int32_t number) {
  return number == kSerialDeviceUnavailable || number == kSerialPortAlreadyOpen ||
         number == kSerialPortInUse || number == kSerialDeviceNotOpen;
}

class SerialPort {
 public:
  virtual ~SerialPort() = default;

  virtual int16_t CommPort() const = 0;
  virtual void CommPort(int16_t port) = 0;
  // Line settings text such as "9600,o,7,1"; a malformed text throws AutomationError(380).
  virtual std::string Settings() const = 0;
  virtual void Settings(const std::string& text) = 0;
  virtual bool PortOpen() const = 0;
  // Opening throws AutomationError; an in-use or unavailable port uses the numbers above.
  virtual void PortOpen(bool open) = 0;
  virtual int32_t InBufferCount() const = 0;
  virtual void DiscardInBuffer() = 0;   // InBufferCount = 0; also accepted while closed
  virtual void DiscardOutBuffer() = 0;  // OutBufferCount = 0; also accepted while closed
  virtual void InputLen(int16_t len) = 0;
  virtual std::string Input() = 0;  // everything waiting, removed from the buffer
  virtual void Output(std::string_view bytes) = 0;
  virtual int16_t CommEvent() const = 0;

  // Raised for line events and errors (CommEvent() tells which: 1001..1011 are errors).
  std::function<void()> OnComm;
  // Raised when bytes arrive, so the receive pass can run before the next tick.
  std::function<void()> OnDataReady;
};

}  // namespace parley::detail
