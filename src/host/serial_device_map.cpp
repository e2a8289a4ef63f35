// The process-wide map from serial port numbers to device paths.
#include <map>
#include <mutex>

#include "parley/errors.hpp"
#include "parley/serial.hpp"

namespace parley {
namespace {
std::mutex g_map_mutex;
std::map<int32_t, std::string>& Map() {
  static std::map<int32_t, std::string> map;
  return map;
}
}  // namespace

void MapSerialPort(int32_t port, const std::string& device_path) {
  // open() would stop at the NUL and open some other device.
  if (device_path.find('\0') != std::string::npos) {
    throw AutomationError(err::ErrorInitializingCommPort, "MapSerialPort",
                          "Error initializing COMM port: the device path holds a NUL byte; the "
                          "port's device was not changed.");
  }
  std::lock_guard lock(g_map_mutex);
  if (device_path.empty()) {
    Map().erase(port);
  } else {
    Map()[port] = device_path;
  }
}

std::string SerialDevicePath(int32_t port) {
  {
    std::lock_guard lock(g_map_mutex);
    auto it = Map().find(port);
    if (it != Map().end()) return it->second;
  }
  if (port < 1) return "";
  return "/dev/ttyS" + std::to_string(port - 1);
}

}  // namespace parley
