// The serial devices of the machine as sysfs and /dev describe them, for `parleyctl ports`.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace parley::cli {

// One device. The USB fields are empty for a device that is not on USB or whose sysfs entry
// lacks them; `driver` is empty when sysfs names none.
struct SerialDeviceInfo {
  std::string path;  // as programs open it: "/dev/ttyUSB0"
  std::string driver;
  std::string vendor_id;
  std::string product_id;
  std::string manufacturer;
  std::string product;
  std::string serial;
  std::vector<std::string> by_id;  // its stable names, "/dev/serial/by-id/..."
};

// Reads /sys/class/tty and /dev under `root` ("/" on a running machine; a test points it at a
// tree of its own). Only ttyS*, ttyUSB* and ttyACM* count, only those with a /dev node, and a
// ttyS* only when a UART is there (sysfs reports type 0 for a port without one).
class SerialDeviceScan {
 public:
  explicit SerialDeviceScan(std::filesystem::path root = "/");

  // In name order, ttyS2 before ttyS10.
  std::vector<SerialDeviceInfo> Devices() const;
  // The file a device path (a /dev name, a by-id link) leads to under the root, for comparing
  // two names of one device; `path` itself when it leads nowhere.
  std::string Identity(const std::string& path) const;
  // Whether `path` exists under the root.
  bool Present(const std::string& path) const;

 private:
  SerialDeviceInfo Describe(const std::string& name) const;

  std::filesystem::path root_;
};

}  // namespace parley::cli
