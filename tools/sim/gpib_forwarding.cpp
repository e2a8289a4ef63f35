#include "gpib_forwarding.hpp"

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace parley::sim {
namespace {

constexpr std::string_view kPrefix = "/GPIB:";
constexpr int kStatusBusy = 0x01;
constexpr int kStatusIdle = 0x02;
constexpr int kStatusMessage = 0x04;
constexpr int kStatusService = 0x40;
constexpr int kMaxAddress = 30;

Answer Reply(std::string text) {
  Answer answer;
  answer.text = std::move(text);
  return answer;
}
Answer DeviceTimeout() { return Reply("/GPIB:E008/"); }

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string Trim(const std::string& text) {
  auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string Scientific(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%+E", value);
  return text;
}

}  // namespace

std::string UnescapeQuotes(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 4, "<22>") == 0) {
      out += '"';
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

// --- instrument -------------------------------------------------------------------------

void SimInstrument::Write(const std::string& command) {
  // Several commands may share one message: "*SRE 16;MEAS?".
  std::size_t start = 0;
  while (start <= command.size()) {
    std::size_t end = command.find(';', start);
    if (end == std::string::npos) end = command.size();
    std::string one = Trim(command.substr(start, end - start));
    if (!one.empty()) {
      if (auto reply = Reply(one)) output_ = *reply;
    }
    start = end + 1;
  }
}

std::string SimInstrument::TakeOutput() {
  std::string out = output_.value_or("");
  output_.reset();
  return out;
}

std::optional<std::string> SimInstrument::Reply(const std::string& command) {
  const std::string upper = Upper(command);
  if (upper == "*IDN?") return "Parley,SimulatedMeter," + std::to_string(address_) + ",1.0";
  if (upper == "*RST") {
    value_ = 1.2345;
    sre_ = 0;
    return std::nullopt;
  }
  if (upper == "MEAS?" || upper == "VOLT?") return Scientific(value_);
  if (upper.rfind("VOLT ", 0) == 0 || upper.rfind("*SRE ", 0) == 0) {
    try {
      const std::string arg = command.substr(5);
      if (upper[0] == '*') {
        sre_ = std::stoi(arg);
      } else {
        value_ = std::stod(arg);
      }
    } catch (const std::exception&) {
      return "-222,\"Data out of range\"";
    }
    return std::nullopt;
  }
  if (upper == "*SRE?") return std::to_string(sre_);
  if (!upper.empty() && upper.back() == '?') return "-113,\"Undefined header\"";
  return std::nullopt;  // any other setting command is taken silently
}

// --- feature ----------------------------------------------------------------------------

GpibForwardingFeature::GpibForwardingFeature(ForwardingConfig config) : config_(std::move(config)) {
  for (const auto& [address, bytes] : config_.status_sequences) {
    sequences_[address].assign(bytes.begin(), bytes.end());
  }
}

std::optional<Answer> GpibForwardingFeature::Handle(const std::string& command) {
  if (command.compare(0, kPrefix.size(), kPrefix) != 0) return std::nullopt;
  if (!config_.enabled) return Reply("/GPIB:E010/");
  auto message = Parse(command.substr(kPrefix.size()));
  if (!message) return Reply("/GPIB:E001/");
  ApplyHeader(*message);
  return Dispatch(*message);
}

// Fields are separated by commas; a MSG value is quoted and may hold commas itself (its own
// quotes travel as "<22>"). The last field, before the closing "/", is the verb.
std::optional<GpibForwardingFeature::Message> GpibForwardingFeature::Parse(
    const std::string& body) {
  if (body.empty() || body.back() != '/') return std::nullopt;
  const std::string text = body.substr(0, body.size() - 1);
  Message m;
  std::size_t pos = 0;
  while (true) {
    std::size_t end;
    if (text.compare(pos, 5, "MSG=\"") == 0) {
      std::size_t close = text.find('"', pos + 5);
      if (close == std::string::npos) return std::nullopt;
      m.fields["MSG"] = UnescapeQuotes(text.substr(pos + 5, close - pos - 5));
      end = close + 1;
      if (end >= text.size() || text[end] != ',') return std::nullopt;  // a verb must follow
    } else {
      end = text.find(',', pos);
      if (end == std::string::npos) {
        m.verb = text.substr(pos);
        return m;
      }
      std::string field = text.substr(pos, end - pos);
      std::size_t eq = field.find('=');
      if (eq == std::string::npos) return std::nullopt;
      m.fields[field.substr(0, eq)] = field.substr(eq + 1);
    }
    pos = end + 1;
  }
}

void GpibForwardingFeature::ApplyHeader(const Message& m) {
  auto number = [&](const char* name, int& target) {
    auto it = m.fields.find(name);
    if (it == m.fields.end()) return;
    try {
      target = std::stoi(it->second);
    } catch (const std::exception&) {
    }
  };
  number("ADDR", address_);
  if (m.verb != "OUT") number("DTO", dto_);  // OUT carries the device timeout itself
  if (auto it = m.fields.find("ITC"); it != m.fields.end()) itc_ = it->second;
  if (auto it = m.fields.find("REN"); it != m.fields.end()) ren_ = it->second;
}

Answer GpibForwardingFeature::Dispatch(const Message& m) {
  if (m.verb == "REN" || m.verb.rfind("REN=", 0) == 0) return Ren(m.verb);
  // Only bus addresses hold instruments, so a client naming ever new addresses cannot make
  // the unit create instruments without end.
  if (address_ < 0 || address_ > kMaxAddress || config_.absent.count(address_)) {
    return DeviceTimeout();
  }
  SimInstrument& instrument = Instrument();
  if (m.verb == "SPOLL") return Spoll(instrument);
  if (m.verb == "IN") return In(instrument);
  if (m.verb == "TSND") return Tsnd(instrument, m);
  if (m.verb == "OUT") return Out(instrument, m);
  return Reply("/GPIB:E001/");
}

SimInstrument& GpibForwardingFeature::Instrument() {
  auto [it, created] = instruments_.try_emplace(address_, address_);
  if (created && !config_.stray.empty()) it->second.SetOutput(config_.stray);
  return it->second;
}

Answer GpibForwardingFeature::Spoll(SimInstrument& instrument) {
  int status = kStatusIdle;
  if (auto scripted = sequences_.find(address_);
      scripted != sequences_.end() && !scripted->second.empty()) {
    status = scripted->second.front();
    scripted->second.pop_front();
  } else if (config_.busy) {
    status = kStatusBusy;
  } else if (polls_until_ready_ > 0) {
    --polls_until_ready_;
    status = kStatusBusy;
  } else if (instrument.HasOutput()) {
    status = kStatusMessage | (instrument.service_request_on_output() ? kStatusService : 0);
  }
  char text[32];
  std::snprintf(text, sizeof text, "/GPIB:SPOLL=%02X/", status);
  return Reply(text);
}

Answer GpibForwardingFeature::In(SimInstrument& instrument) {
  if (!instrument.HasOutput()) return DeviceTimeout();
  return Reply("/GPIB:IN=\"" + instrument.TakeOutput() + "\"/");
}

Answer GpibForwardingFeature::Tsnd(SimInstrument& instrument, const Message& m) {
  int wait_seconds = 0;
  try {
    wait_seconds = std::stoi(m.fields.count("WTIM") ? m.fields.at("WTIM") : "0");
  } catch (const std::exception&) {
  }
  const Millis wait = std::chrono::seconds(wait_seconds);
  instrument.Write(m.fields.count("MSG") ? m.fields.at("MSG") : "");
  if (config_.answer_time > wait) {
    instrument.TakeOutput();
    Answer late = DeviceTimeout();
    late.delay = wait;
    return late;
  }
  Answer answer = Reply("/GPIB:TSND=" + instrument.TakeOutput() + "/");
  answer.delay = config_.answer_time;
  return answer;
}

Answer GpibForwardingFeature::Out(SimInstrument& instrument, const Message& m) {
  instrument.Write(m.fields.count("MSG") ? m.fields.at("MSG") : "");
  if (instrument.HasOutput()) polls_until_ready_ = config_.ready_after_polls;
  return Reply("/C/");
}

Answer GpibForwardingFeature::Ren(const std::string& verb) {
  if (verb == "REN") return Reply("/GPIB:REN=" + ren_ + "/");
  ren_ = verb.substr(4);
  return Reply("/C/");
}

}  // namespace parley::sim
