// Which device a serial port number opens.
//
// KORInterface::CommPort is a port number (1 to 16). Port n opens /dev/ttyS{n-1} unless the
// program maps it to another device path, for example a USB adapter (/dev/ttyUSB0), a stable
// name (/dev/serial/by-id/...) or a pseudo-terminal of the simulator (/dev/pts/4).
//
// The map is process-wide and may be changed from any thread; a change takes effect at the
// next opening of the port (an open port stays on its device). Ports are opened exclusively:
// while one program holds a device, another program's opening is refused as "in use", and the
// library then waits for the port as for a port held by another program.
#pragma once

#include <cstdint>
#include <string>

#include "parley/export.hpp"

namespace parley {

// Maps port number `port` to `device_path`; an empty path restores the default. A path holding
// a NUL byte throws AutomationError(err::ErrorInitializingCommPort) and changes nothing.
PARLEY_API void MapSerialPort(int32_t port, const std::string& device_path);

// The device path port number `port` opens now (the mapped one or /dev/ttyS{port-1}); empty
// for a number below 1 that is not mapped.
PARLEY_API std::string SerialDevicePath(int32_t port);

}  // namespace parley
