// The settings the shell's :set and :get reach: every setting of the interface by the
// library's name (BitRate), with the tool's option spelling as an alias (bit-rate), and the
// transaction settings the shell applies to each command it sends.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli.hpp"
#include "plain_link.hpp"

namespace parley::cli {

// What each command the shell sends is given.
struct TransactionSettings {
  TransactionTimes times;
  bool expect = true;
};

class SettingTable {
 public:
  // `check` tells what is wrong with a value for a tool option ("" when nothing), so :set
  // refuses what the command line would, with the same words.
  using Check = std::function<std::string(const std::string& option, const std::string& value)>;
  SettingTable(KORInterface& iface, TransactionSettings& transaction, Check check);

  // Sets NAME (either spelling, any letter case). A setting the library takes only while the
  // port is closed is set between a close and a reopen. Throws std::invalid_argument for an
  // unknown name or a malformed value, AutomationError when the library refuses.
  void Set(const std::string& name, const std::string& value);
  // "NAME = VALUE"; throws std::invalid_argument for an unknown name.
  std::string Get(const std::string& name) const;
  // Every setting, one "NAME = VALUE" a line.
  std::string All() const;
  // The names for :help, "BitRate (bit-rate)", in table order.
  std::vector<std::string> Names() const;

 private:
  struct Setting {
    std::string name;   // the library's
    std::string alias;  // the tool option's, or ""
    bool reopen;        // the library ignores it while the port is open
    std::function<std::string()> get;
    std::function<void(const std::string&)> set;
  };
  void Define();
  void Add(std::string name, std::string alias, bool reopen, std::function<std::string()> get,
           std::function<void(const std::string&)> set);
  const Setting& Find(const std::string& name) const;

  KORInterface& iface_;
  TransactionSettings& transaction_;
  Check check_;
  std::vector<Setting> settings_;
};

}  // namespace parley::cli
