#include "scenario.hpp"

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "decimal.hpp"
#include "toml_file.hpp"

namespace parley::sim {
namespace {

using tools::TomlFile;

constexpr int kHighestAddress = 30;
const std::vector<std::string> kTables = {"unit", "answers", "faults", "tcp", "gpib"};

// The values of one scenario, each refused with its file and line when it is not allowed.
class Reader {
 public:
  explicit Reader(const TomlFile& file) : file_(file) {}

  // The table `name` of `parent` (nothing when absent), whose keys must be among `keys`
  // unless `keys` is empty.
  const toml::table* Table(const toml::table& parent, const std::string& name,
                           const std::vector<std::string>& keys) const {
    const toml::node* node = parent.get(name);
    if (!node) return nullptr;
    if (!node->is_table()) file_.Fail(node->source(), name + " must be a table: [" + name + "]");
    if (!keys.empty()) file_.RefuseUnknownKeys(*node->as_table(), keys, "[" + name + "]");
    return node->as_table();
  }

  int64_t Whole(const toml::node& node, const std::string& name, int64_t low, int64_t high) const {
    auto value = node.value<int64_t>();
    if (!node.is_integer() || *value < low || *value > high) {
      file_.Fail(node.source(), name + " takes a whole number from " + std::to_string(low) +
                                    " to " + std::to_string(high));
    }
    return *value;
  }
  Millis Time(const toml::node& node, const std::string& name) const {
    return Millis(Whole(node, name, 0, kMaxMillis));
  }
  bool Switch(const toml::node& node, const std::string& name) const {
    if (!node.is_boolean()) file_.Fail(node.source(), name + " takes true or false");
    return *node.value<bool>();
  }
  std::string Text(const toml::node& node, const std::string& name) const {
    if (!node.is_string()) file_.Fail(node.source(), name + " takes a text in quotes");
    try {
      return DecodeEscapes(*node.value<std::string>());
    } catch (const std::invalid_argument& e) {
      file_.Fail(node.source(), name + ": " + e.what());
    }
  }
  std::string KeyText(const toml::key& key) const {
    try {
      return DecodeEscapes(key.str());
    } catch (const std::invalid_argument& e) {
      file_.Fail(key.source(), std::string(key.str()) + ": " + e.what());
    }
  }
  int Address(const toml::node& node, const std::string& name) const {
    return static_cast<int>(Whole(node, name, 0, kHighestAddress));
  }
  int AddressKey(const toml::key& key) const {
    const std::string text(key.str());
    auto address = tools::ParseDecimal(text);
    if (!address || *address < 0 || *address > kHighestAddress) {
      file_.Fail(key.source(), "'" + text + "' is not a GPIB address (0 to 30)");
    }
    return static_cast<int>(*address);
  }
  const toml::array& List(const toml::node& node, const std::string& name) const {
    if (!node.is_array()) file_.Fail(node.source(), name + " takes a list: [ ... ]");
    return *node.as_array();
  }
  [[noreturn]] void Fail(const toml::node& node, const std::string& what) const {
    file_.Fail(node.source(), what);
  }

 private:
  const TomlFile& file_;
};

// Calls `apply(key, value)` for each entry of `table` in file order.
template <class F>
void Each(const toml::table* table, F&& apply) {
  if (!table) return;
  for (const auto& [key, node] : TomlFile::InFileOrder(*table)) apply(*key, *node);
}

void ReadUnit(const Reader& r, const toml::table& root, UnitConfig& unit, GivenSettings& given) {
  Each(r.Table(root, "unit", {"delay", "unknown", "cmd-term", "resp-term", "plain"}),
       [&](const toml::key& key, const toml::node& v) {
         const std::string name(key.str());
         if (name == "plain") unit.plain = r.Switch(v, name);
         if (name == "delay") unit.answer_delay = r.Time(v, name);
         if (name == "unknown") {
           unit.unknown_answer = r.Text(v, name);
           given.unknown = true;
         }
         if (name == "resp-term") {
           unit.resp_term = r.Text(v, name);
           given.resp_term = true;
         }
         if (name == "cmd-term") {
           unit.cmd_term = r.Text(v, name);
           if (unit.cmd_term.empty()) r.Fail(v, "cmd-term must not be empty");
           given.cmd_term = true;
         }
       });
}

// "CMD" = "TEXT", or "CMD" = { text = "TEXT", delay = MS }.
void ReadAnswers(const Reader& r, const TomlFile& file, const toml::table& root, UnitConfig& unit) {
  Each(r.Table(root, "answers", {}), [&](const toml::key& key, const toml::node& v) {
    std::string command = r.KeyText(key);
    if (!v.is_table()) {
      unit.answers[command] = r.Text(v, command);
      return;
    }
    const toml::table& entry = *v.as_table();
    file.RefuseUnknownKeys(entry, {"text", "delay"}, "the answer to " + std::string(key.str()));
    const toml::node* text = entry.get("text");
    if (!text) r.Fail(v, "the answer to " + std::string(key.str()) + " needs text = \"...\"");
    unit.answers[command] = r.Text(*text, "text");
    if (const toml::node* delay = entry.get("delay"))
      unit.answer_delays[command] = r.Time(*delay, "delay");
  });
}

void ReadFaults(const Reader& r, const toml::table& root, UnitConfig& unit) {
  Each(r.Table(root, "faults", {"silent", "echo-only", "split", "chunk-gap", "close-mid-answer"}),
       [&](const toml::key& key, const toml::node& v) {
         const std::string name(key.str());
         if (name == "silent") unit.silent = r.Switch(v, name);
         if (name == "echo-only") unit.echo_only = r.Switch(v, name);
         if (name == "split") unit.split = static_cast<std::size_t>(r.Whole(v, name, 0, kMaxSplit));
         if (name == "chunk-gap") unit.chunk_gap = r.Time(v, name);
         if (name == "close-mid-answer") unit.close_mid_answer = r.Switch(v, name);
       });
}

void ReadTcp(const Reader& r, const toml::table& root, std::optional<TcpOptions>& tcp) {
  const toml::table* table = r.Table(root, "tcp", {"port", "greeting", "split-greeting"});
  if (!table) return;
  if (!tcp) tcp.emplace();
  Each(table, [&](const toml::key& key, const toml::node& v) {
    const std::string name(key.str());
    if (name == "port") tcp->port = static_cast<std::uint16_t>(r.Whole(v, name, 0, 65535));
    if (name == "greeting") tcp->greeting = r.Switch(v, name);
    if (name == "split-greeting") tcp->split_greeting = r.Switch(v, name);
  });
}

void ReadStatus(const Reader& r, const toml::table& gpib_table, ForwardingConfig& gpib) {
  Each(r.Table(gpib_table, "status", {}), [&](const toml::key& key, const toml::node& v) {
    int address = r.AddressKey(key);
    std::vector<int> bytes;
    for (const toml::node& b : r.List(v, "status of " + std::to_string(address))) {
      bytes.push_back(static_cast<int>(r.Whole(b, "a status byte", 0, 255)));
    }
    gpib.status_sequences[address] = std::move(bytes);
  });
}

void ReadGpib(const Reader& r, const toml::table& root, ForwardingConfig& gpib) {
  const toml::table* table = r.Table(
      root, "gpib", {"enabled", "absent", "busy", "stray", "ready-after", "answer-time", "status"});
  Each(table, [&](const toml::key& key, const toml::node& v) {
    const std::string name(key.str());
    if (name == "enabled") gpib.enabled = r.Switch(v, name);
    if (name == "busy") gpib.busy = r.Switch(v, name);
    if (name == "stray") gpib.stray = r.Text(v, name);
    if (name == "ready-after")
      gpib.ready_after_polls = static_cast<int>(r.Whole(v, name, 0, kMaxReadyAfterPolls));
    if (name == "answer-time") gpib.answer_time = r.Time(v, name);
    if (name == "absent") {
      for (const toml::node& a : r.List(v, name)) gpib.absent.insert(r.Address(a, "an address"));
    }
  });
  if (table) ReadStatus(r, *table, gpib);
}

}  // namespace

void ApplyScenario(const std::string& path, UnitConfig& unit, GivenSettings& given,
                   ForwardingConfig& gpib, std::optional<TcpOptions>& tcp) {
  TomlFile file(path, "scenario");
  Reader r(file);
  const toml::table& root = file.root();
  for (const auto& [key, node] : TomlFile::InFileOrder(root)) {
    if (!node->is_table()) {
      file.Fail(key->source(), "'" + std::string(key->str()) +
                                   "' stands outside a table; the tables are " +
                                   tools::JoinWords(kTables));
    }
  }
  file.RefuseUnknownKeys(root, kTables, "the scenario");
  ReadUnit(r, root, unit, given);
  ReadAnswers(r, file, root, unit);
  ReadFaults(r, root, unit);
  ReadTcp(r, root, tcp);
  ReadGpib(r, root, gpib);
}

}  // namespace parley::sim
