#include "serial_devices.hpp"

#include <algorithm>
#include <fstream>
#include <optional>
#include <tuple>

namespace parley::cli {
namespace fs = std::filesystem;
namespace {

constexpr const char* kFamilies[] = {"ttyS", "ttyUSB", "ttyACM"};

// "ttyUSB12" as its family and number; nothing for another name.
std::optional<std::pair<std::string, long>> SerialName(const std::string& name) {
  for (const char* family : kFamilies) {
    std::string prefix = family;
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    std::string digits = name.substr(prefix.size());
    if (digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    return std::make_pair(prefix, std::stol(digits));
  }
  return std::nullopt;
}

// The first line of a sysfs attribute, or "" when there is none.
std::string Attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string LinkName(const fs::path& link) {
  std::error_code ec;
  fs::path target = fs::read_symlink(link, ec);
  return ec ? "" : target.filename().string();
}

}  // namespace

SerialDeviceScan::SerialDeviceScan(fs::path root) : root_(std::move(root)) {}

std::string SerialDeviceScan::Identity(const std::string& path) const {
  if (path.empty() || path.front() != '/') return path;
  std::error_code ec;
  fs::path real = fs::canonical(root_ / fs::path(path).relative_path(), ec);
  return ec ? path : real.string();
}

bool SerialDeviceScan::Present(const std::string& path) const {
  std::error_code ec;
  return !path.empty() && path.front() == '/' &&
         fs::exists(root_ / fs::path(path).relative_path(), ec);
}

std::vector<SerialDeviceInfo> SerialDeviceScan::Devices() const {
  std::vector<std::pair<std::string, long>> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root_ / "sys/class/tty", ec)) {
    std::string name = entry.path().filename().string();
    auto serial = SerialName(name);
    if (!serial || !fs::exists(root_ / "dev" / name, ec)) continue;
    if (serial->first == "ttyS" && Attribute(entry.path() / "type") == "0") continue;
    names.push_back(*serial);
  }
  std::sort(names.begin(), names.end());
  std::vector<SerialDeviceInfo> devices;
  for (const auto& [family, number] : names) {
    devices.push_back(Describe(family + std::to_string(number)));
  }
  return devices;
}

SerialDeviceInfo SerialDeviceScan::Describe(const std::string& name) const {
  SerialDeviceInfo info;
  info.path = "/dev/" + name;
  std::error_code ec;
  const fs::path sys = fs::canonical(root_ / "sys", ec);
  fs::path at = fs::canonical(root_ / "sys/class/tty" / name / "device", ec);
  // Up from the port's device: the first driver that is not the generic serial core's is the
  // UART's or adapter's; the first device with a USB vendor id is the adapter.
  for (; !ec && at != sys && at.has_relative_path(); at = at.parent_path()) {
    if (info.driver.empty() && LinkName(at / "subsystem") != "serial-base") {
      info.driver = LinkName(at / "driver");
    }
    if (fs::exists(at / "idVendor")) {
      info.vendor_id = Attribute(at / "idVendor");
      info.product_id = Attribute(at / "idProduct");
      info.manufacturer = Attribute(at / "manufacturer");
      info.product = Attribute(at / "product");
      info.serial = Attribute(at / "serial");
      break;
    }
  }
  const std::string self = Identity(info.path);
  const fs::path by_id = root_ / "dev/serial/by-id";
  for (const auto& link : fs::directory_iterator(by_id, ec)) {
    std::string name_of = "/dev/serial/by-id/" + link.path().filename().string();
    if (Identity(name_of) == self) info.by_id.push_back(name_of);
  }
  std::sort(info.by_id.begin(), info.by_id.end());
  return info;
}

}  // namespace parley::cli
