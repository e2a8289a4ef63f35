#include "cli.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <limits>
#include <stdexcept>

#include "decimal.hpp"
#include "progress.hpp"
#include "script.hpp"
#include "trace_out.hpp"

namespace parley::cli {

std::string Options::Get(const std::string& name, const std::string& fallback) const {
  auto it = values_.find(name);
  return it == values_.end() ? fallback : it->second;
}

long Options::GetInt(const std::string& name, long fallback) const {
  if (!Has(name)) return fallback;
  const std::string& text = values_.at(name);
  auto value = tools::ParseDecimal(text);
  if (!value || *value < std::numeric_limits<long>::min() ||
      *value > std::numeric_limits<long>::max()) {
    throw std::invalid_argument("option --" + name + " expects a whole number, not '" + text + "'");
  }
  return static_cast<long>(*value);
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

std::string Visible(const std::string& bytes, Escapes escapes) {
  const bool trace_line = escapes == Escapes::kTraceLine;
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\t' && trace_line) {
      out += '\t';
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else if ((c >= 0x20 && c < 0x7F) || (c >= 0x80 && trace_line)) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

int RunOneTransaction(KORInterface& iface, ProgressWatch& watch, const TransactionBatch& batch,
                      const CommandLine& line, bool json) {
  TransactionRecord record;
  record.command = line.text;
  record.where = line.where;
  int failure = kExitOk;
  try {
    KORTransaction t = batch.make(line.text);
    // A plain link's timeout may be a fraction of a second: count down its whole seconds.
    watch.Begin(t.RespTimeoutMs() > 0 ? (t.RespTimeoutMs() + 999) / 1000 : t.RespTimeout());
    auto start = std::chrono::steady_clock::now();
    try {
      iface.Transact(t);
    } catch (const AutomationError& e) {
      record.error = e.Number();
      record.message = e.Description();
      record.source = e.Source();
      failure = ExitCodeFor(e.Number());
      // The library ends a call past its deadline as canceled; nobody canceled it, time ran out.
      if (e.Number() == err::UserCanceled && t.DeadlineMs() > 0 && !Interrupted()) {
        failure = kExitTimeout;
      }
    }
    record.elapsed_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    record.stage = watch.Stage();
    watch.Clear();
    if (failure == kExitOk && t.RespExpect()) {
      record.has_response = true;
      record.response = t.IsCmdTypeString() ? t.resp() : t.ByteArrRespStrVal();
      if (!json) std::cout << batch.show(t) << '\n' << std::flush;
    }
    if (failure != kExitOk && !json) {
      PrintError(std::cerr, AutomationError(record.error, record.source, record.message));
      // The port wait knows why the device stayed closed and who holds it.
      if (record.error == err::CouldNotGetCommPort && !iface.LastLinkError().empty()) {
        std::cerr << "hint: " << iface.LastLinkError() << "\n";
      } else if (auto hint = batch.hint(record.error); !hint.empty()) {
        std::cerr << "hint: " << hint << "\n";
      }
    }
  } catch (const std::invalid_argument& e) {  // a malformed command: not sent
    watch.Clear();
    record.message = e.what();
    record.stage = "not sent";
    failure = kExitUsage;
    if (!json) std::cerr << "parleyctl: " << line.where << ": " << e.what() << "\n";
  }
  if (json) std::cout << JsonRecord(record) << '\n' << std::flush;
  return failure;
}

int RunTransactions(KORInterface& iface, const Options& options, TransactionBatch batch) {
  CommandSource commands(options);
  auto first = commands.Next();
  if (!first) {
    throw std::invalid_argument(options.Has("script") || options.Has("stdin")
                                    ? "no command to send: the script had none"
                                    : "give at least one COMMAND");
  }
  bool json = options.Has("json");
  bool keep_going = options.Has("keep-going");
  TraceOutput trace(iface, options);
  int status = kExitOk;
  {
    ProgressWatch watch(iface, std::cerr, ShowsProgress(options));
    iface.openPort();
    for (auto line = std::move(first); line; line = commands.Next()) {
      if (Interrupted()) {
        watch.Clear();
        status = ReportCanceled();
        break;
      }
      int failure = RunOneTransaction(iface, watch, batch, *line, json);
      if (!std::cout) {  // the reader went away (a closed pipe): nothing more to say
        status = status == kExitOk ? kExitFailure : status;
        break;
      }
      if (failure != kExitOk && status == kExitOk) status = failure;
      if (failure == kExitCanceled || (failure != kExitOk && !keep_going)) break;
    }
  }
  iface.closePort();
  trace.Finish(std::cerr);
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
