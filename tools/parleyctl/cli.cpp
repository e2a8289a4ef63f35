#include "cli.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "progress.hpp"

namespace parley::cli {

std::string Options::Get(const std::string& name, const std::string& fallback) const {
  auto it = values_.find(name);
  return it == values_.end() ? fallback : it->second;
}

long Options::GetInt(const std::string& name, long fallback) const {
  if (!Has(name)) return fallback;
  const std::string& text = values_.at(name);
  std::size_t used = 0;
  long value = 0;
  try {
    value = std::stol(text, &used, 0);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size()) {
    throw std::invalid_argument("option --" + name + " expects a whole number, not '" + text + "'");
  }
  return value;
}

std::string HexNumber(int32_t number) {
  char text[16];
  if (number >= 0 && number < 0x10000) {
    std::snprintf(text, sizeof text, "%d", number);
  } else {
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(number));
  }
  return text;
}

void PrintError(std::ostream& out, const AutomationError& e) {
  out << "error " << HexNumber(e.Number()) << ": " << e.Description() << " (source: " << e.Source()
      << ")\n";
}

std::string Visible(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

int RunTransactions(KORInterface& iface, const Options& options, TransactionBatch batch) {
  bool trace = options.Has("trace");
  if (trace) {
    iface.DebugBuffSizeSet(64000);
    iface.DebugMonitorOn();
  }
  int status = kExitOk;
  {
    ProgressWatch watch(iface, std::cerr, ShowsProgress(options));
    iface.openPort();
    for (auto& t : batch.transactions) {
      if (Interrupted()) {
        status = ReportCanceled();
        break;
      }
      watch.Begin(t.RespTimeout());
      try {
        iface.Transact(t);
        watch.Clear();
        if (t.RespExpect()) std::cout << batch.show(t) << '\n' << std::flush;
        if (!std::cout) {  // the reader went away (a closed pipe): nothing more to say
          status = kExitFailure;
          break;
        }
      } catch (const AutomationError& e) {
        watch.Clear();
        PrintError(std::cerr, e);
        if (auto hint = batch.hint(e.Number()); !hint.empty())
          std::cerr << "hint: " << hint << "\n";
        status = ExitCodeFor(e.Number());
        break;
      }
    }
  }
  iface.closePort();
  if (trace) std::cerr << "--- debug trace ---\n" << Visible(iface.DebugBuffGet()) << "\n";
  return status;
}

bool ShowsProgress(const Options& options) {
  return isatty(STDERR_FILENO) != 0 && !options.Has("quiet");
}

int ReportCanceled() {
  std::cerr << CatalogueMessage(err::UserCanceled) << "\n";
  return kExitCanceled;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<uint8_t> ParseHexBytes(const std::string& text) {
  std::vector<uint8_t> out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == ',' || c == ':') {
      if (high >= 0) throw std::invalid_argument("hex bytes come in pairs of digits: " + text);
      continue;
    }
    int digit = HexDigit(c);
    if (digit < 0) throw std::invalid_argument("not a hex digit '" + std::string(1, c) + "'");
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<uint8_t>(high * 16 + digit));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("hex bytes come in pairs of digits: " + text);
  if (out.empty()) throw std::invalid_argument("give at least one hex byte");
  return out;
}

std::string HexBytes(const std::string& bytes) {
  std::string out;
  char pair[4];
  for (unsigned char c : bytes) {
    std::snprintf(pair, sizeof pair, out.empty() ? "%02X" : " %02X", c);
    out += pair;
  }
  return out;
}

}  // namespace parley::cli
