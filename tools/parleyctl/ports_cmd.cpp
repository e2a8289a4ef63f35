// `parleyctl ports`: the serial devices present, the port numbers that open them in this run and
// what the connection manager knows of them; `ports lock N` / `ports unlock N`.
//
// A lock lasts as long as the tool that took it: `ports lock N` holds it until Ctrl-C or
// SIGTERM (or, with --hold SECONDS, for that long at most), and it ends with the tool however
// the tool ends. `ports unlock N` ends a lock whoever holds it.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>

#include "cli.hpp"
#include "progress.hpp"
#include "serial_cmd.hpp"
#include "serial_devices.hpp"

namespace parley::cli {
namespace {

struct PortRow {
  SerialDeviceInfo info;
  std::vector<int32_t> ports;
  std::optional<ManagedDevice> managed;
};

// The row of the device `path` names; a new one at the end when `add` and none matches.
PortRow* RowFor(std::vector<PortRow>& rows, const SerialDeviceScan& scan, const std::string& path,
                bool add) {
  const std::string identity = scan.Identity(path);
  for (auto& row : rows) {
    if (scan.Identity(row.info.path) == identity) return &row;
  }
  if (!add) return nullptr;
  rows.push_back(PortRow{});
  rows.back().info.path = path;
  return &rows.back();
}

std::vector<PortRow> Rows(const SerialDeviceScan& scan, const Options& options,
                          const std::optional<std::vector<ManagedDevice>>& managed) {
  std::vector<PortRow> rows;
  for (auto& info : scan.Devices()) rows.push_back(PortRow{std::move(info), {}, {}});
  std::vector<int32_t> mapped;
  for (const auto& entry : options.GetAll("port-map")) mapped.push_back(std::stoi(entry));
  for (int32_t n = kFirstSerialPort; n <= kLastSerialPort; ++n) {
    // A mapped device is shown even when the scan does not know it (a pseudo-terminal).
    bool explicit_map = std::find(mapped.begin(), mapped.end(), n) != mapped.end();
    std::string path = SerialDevicePath(n);
    bool present = scan.Present(path);
    if (PortRow* row = RowFor(rows, scan, path, explicit_map && present)) row->ports.push_back(n);
  }
  if (managed) {
    for (const auto& device : *managed) RowFor(rows, scan, device.device, true)->managed = device;
  }
  return rows;
}

std::string Who(const std::optional<ManagedProgram>& p) {
  return p ? std::to_string(p->pid) + " " + p->name : "-";
}

std::string Who(const std::vector<ManagedProgram>& list) {
  std::string s;
  for (const auto& p : list) s += (s.empty() ? "" : ", ") + Who(std::optional(p));
  return s.empty() ? "-" : s;
}

std::string PortsText(const std::vector<int32_t>& ports) {
  if (ports.empty()) return "no port number";
  std::string s = ports.size() == 1 ? "port " : "ports ";
  for (std::size_t i = 0; i < ports.size(); ++i) s += (i ? ", " : "") + std::to_string(ports[i]);
  return s;
}

void PrintText(const std::vector<PortRow>& rows, const std::string& manager) {
  if (rows.empty()) std::cout << "no serial devices found\n";
  for (const auto& row : rows) {
    const auto& d = row.info;
    std::cout << EscapeDevicePath(d.path) << " (" << PortsText(row.ports) << ")\n";
    if (!d.driver.empty()) std::cout << "  driver:    " << d.driver << "\n";
    if (!d.vendor_id.empty()) {
      std::cout << "  usb:       " << d.vendor_id << ":" << d.product_id;
      if (!d.manufacturer.empty()) std::cout << " " << d.manufacturer;
      if (!d.product.empty()) std::cout << " " << d.product;
      std::cout << "\n";
    }
    if (!d.serial.empty()) std::cout << "  serial:    " << d.serial << "\n";
    for (const auto& name : d.by_id) std::cout << "  by-id:     " << name << "\n";
    if (row.managed) {
      std::cout << "  locked by: " << Who(row.managed->locker)
                << "\n  holder:    " << Who(row.managed->holder)
                << "\n  waiting:   " << Who(row.managed->waiting)
                << "\n  using:     " << Who(row.managed->users) << "\n";
    }
  }
  std::cout << "connection manager: " << manager << "\n";
}

nlohmann::json Json(const std::optional<ManagedProgram>& p) {
  if (!p) return nullptr;
  return {{"pid", p->pid}, {"name", p->name}};
}

nlohmann::json Json(const std::vector<ManagedProgram>& list) {
  auto all = nlohmann::json::array();
  for (const auto& p : list) all.push_back(Json(std::optional(p)));
  return all;
}

void PrintJson(const std::vector<PortRow>& rows, const std::string& manager) {
  auto text = [](const std::string& s) { return s.empty() ? nlohmann::json() : nlohmann::json(s); };
  auto devices = nlohmann::json::array();
  for (const auto& row : rows) {
    const auto& d = row.info;
    nlohmann::json j = {{"device", d.path},
                        {"ports", row.ports},
                        {"driver", text(d.driver)},
                        {"vendor_id", text(d.vendor_id)},
                        {"product_id", text(d.product_id)},
                        {"manufacturer", text(d.manufacturer)},
                        {"product", text(d.product)},
                        {"serial", text(d.serial)},
                        {"by_id", d.by_id}};
    const ManagedDevice none;
    const ManagedDevice& m = row.managed ? *row.managed : none;
    j["locked_by"] = Json(m.locker);
    j["holder"] = Json(m.holder);
    j["waiting"] = Json(m.waiting);
    j["users"] = Json(m.users);
    devices.push_back(std::move(j));
  }
  std::cout << nlohmann::json{{"devices", devices}, {"manager", manager}}.dump(
                   -1, ' ', false, nlohmann::json::error_handler_t::replace)
            << "\n";
}

int List(const Options& options) {
  std::string root = options.Get("root", "/");
  std::optional<std::vector<ManagedDevice>> managed;
  // Another machine's tree has nothing to do with this machine's manager.
  std::string manager = "not asked (--root)";
  if (root == "/") {
    try {
      managed = ConnectionManagerStatus();
      manager = managed ? "running" : "not running";
    } catch (const AutomationError& e) {
      manager = "unavailable: " + e.Description();
    }
  }
  SerialDeviceScan scan(root);
  auto rows = Rows(scan, options, managed);
  if (options.Has("json")) {
    PrintJson(rows, manager);
  } else {
    PrintText(rows, manager);
  }
  return kExitOk;
}

// The device of "N" (as this run maps it) or of a path, which must exist.
std::string LockTarget(const std::string& word) {
  std::string device = word;
  if (word.empty() || word.front() != '/') {
    bool digits = !word.empty() && word.size() <= 2 &&
                  word.find_first_not_of("0123456789") == std::string::npos;
    int port = digits ? std::stoi(word) : 0;
    if (port < kFirstSerialPort || port > kLastSerialPort) {
      throw std::invalid_argument("expected a port number from 1 to 16 or a device path, not '" +
                                  word + "'");
    }
    device = SerialDevicePath(port);
  }
  if (access(device.c_str(), F_OK) != 0) throw LinkMissing(device + ": no such device");
  return device;
}

// Waits until `seconds` passed (0: for ever) or the user stops the tool.
void Hold(long seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!Interrupted() && (seconds == 0 || std::chrono::steady_clock::now() < until)) {
    timespec step{0, 100'000'000};
    nanosleep(&step, nullptr);
  }
}

int Unlock(const std::string& word) {
  std::string device = LockTarget(word);
  UnlockSerialDevice(device);
  std::cout << "unlocked " << EscapeDevicePath(device) << "\n";
  return kExitOk;
}

int Lock(const Options& options, const std::string& word) {
  std::string device = LockTarget(word);
  auto lock = LockSerialDevice(device);
  long seconds = options.Has("hold") ? options.GetInt("hold", 0) : 0;
  std::cout << "locked " << EscapeDevicePath(device) << " "
            << (seconds ? "for " + std::to_string(seconds) + " s or " : std::string())
            << "until Ctrl-C" << std::endl;
  Hold(seconds);
  lock.Release();
  std::cout << "unlocked " << EscapeDevicePath(device) << "\n";
  return kExitOk;
}

}  // namespace

void DefinePortsCommand(OptionSet& o) {
  DefinePortMapOption(o);
  o.Flag("--json", "print the list as one JSON object");
  o.Text("--root", "DIR",
         "read sysfs and /dev under DIR (a copy of another machine's tree); the connection "
         "manager is not asked",
         "/");
  o.Whole("--hold", "SECONDS", 0, 604800,
          "with lock: keep the lock at most this long (0, as without it: until Ctrl-C or "
          "SIGTERM), then unlock");
  o.Words("ACTION",
          "nothing: list the devices; 'lock N' or 'lock DEVICE': lock it for every other "
          "program while the tool runs (until Ctrl-C or SIGTERM); 'unlock N': end a lock, "
          "whoever holds it");
}

int RunPorts(const Options& options) {
  ApplyPortMap(options);
  const auto& words = options.Positional();
  bool lock_word = words.size() == 2 && (words[0] == "lock" || words[0] == "unlock");
  if (!words.empty() && !lock_word) {
    throw std::invalid_argument("expected nothing, 'lock N' or 'unlock N'");
  }
  if (options.Has("hold") && !(lock_word && words[0] == "lock")) {
    throw std::invalid_argument("--hold goes with 'lock N'");
  }
  if (!lock_word) return List(options);
  return words[0] == "lock" ? Lock(options, words[1]) : Unlock(words[1]);
}

}  // namespace parley::cli
