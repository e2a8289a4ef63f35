// The addresses this machine offers: its serial devices (and GPIB listeners, see gpib).
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

#include "parley/address.hpp"

namespace parley {
namespace {

namespace fs = std::filesystem;

bool SerialName(const std::string& name) {
  return name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0 || name.rfind("ttyS", 0) == 0;
}

// A ttyS node exists for every possible UART; sysfs reports type 0 where there is none.
bool HasLine(const std::string& name) {
  if (name.rfind("ttyS", 0) != 0) return true;
  std::ifstream type("/sys/class/tty/" + name + "/type");
  int value = 0;
  return type >> value && value != 0;
}

// ttyS2 before ttyS10.
bool NameOrder(const std::string& a, const std::string& b) {
  auto stem = [](const std::string& s) { return s.substr(0, s.find_first_of("0123456789")); };
  if (stem(a) != stem(b) || a.size() == b.size()) return a < b;
  return a.size() < b.size();
}

std::vector<std::string> SerialDevices() {
  std::vector<std::string> paths;
  std::set<std::string> covered;  // the devices a stable name already stands for
  std::error_code ec;
  std::vector<std::string> by_id;
  for (const auto& entry : fs::directory_iterator("/dev/serial/by-id", ec)) {
    by_id.push_back(entry.path().string());
  }
  std::sort(by_id.begin(), by_id.end());
  for (const auto& link : by_id) {
    auto target = fs::canonical(link, ec);
    if (ec) continue;
    covered.insert(target.string());
    paths.push_back(link);
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator("/dev", ec)) {
    std::string name = entry.path().filename().string();
    if (SerialName(name) && HasLine(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end(), NameOrder);
  for (const auto& name : names) {
    if (!covered.count("/dev/" + name)) paths.push_back("/dev/" + name);
  }
  return paths;
}

}  // namespace

namespace detail {
std::vector<int32_t> GpibListeners();
}

std::vector<std::string> ListResources() {
  std::vector<std::string> out;
  for (const auto& path : SerialDevices()) out.push_back("ASRL" + path + "::INSTR");
  for (int32_t pad : detail::GpibListeners()) {
    out.push_back("GPIB0::" + std::to_string(pad) + "::INSTR");
  }
  return out;
}

}  // namespace parley
