#include "remote_unit.hpp"

#include <algorithm>
#include <stdexcept>

namespace parley::sim {

std::map<std::string, std::string> UnitConfig::DefaultAnswers() {
  return {
      {"VER?", "parley-sim 1.0"},
      {"*IDN?", "Parley,RemoteUnitSimulator,0,1.0"},
      {"PING", "PONG"},
      {"STAT?", "READY"},
  };
}

std::map<std::string, std::string> UnitConfig::PlainDefaultAnswers() {
  return {{"*IDN?", kPlainIdentity}};
}

void CompleteConfig(UnitConfig& config, const GivenSettings& given) {
  auto built_in = config.plain ? UnitConfig::PlainDefaultAnswers() : UnitConfig::DefaultAnswers();
  config.answers.merge(built_in);  // keeps the user's answer where both have one
  if (!config.plain) return;
  if (!given.cmd_term) config.cmd_term = "\n";
  if (!given.resp_term) config.resp_term = "\n";
  config.answer_unknown = given.unknown;
}

Millis Later(Millis at, Millis by) {
  if (by.count() <= 0) return std::min(at, kLatest);
  if (at >= kLatest || by >= kLatest - at) return kLatest;
  return at + by;
}

RemoteUnit::RemoteUnit(std::shared_ptr<const UnitConfig> config) : config_(std::move(config)) {}

std::vector<Emission> RemoteUnit::Receive(Millis now, std::string_view bytes) {
  std::vector<Emission> out;
  const std::string& term = config_->cmd_term;
  // Only where a terminator could newly end is searched, so a long command costs linear time.
  std::size_t search = pending_.size() >= term.size() ? pending_.size() - term.size() + 1 : 0;
  pending_.append(bytes);
  if (term.empty()) return out;
  std::size_t from = 0;
  std::size_t found;
  while ((found = pending_.find(term, std::max(from, search))) != std::string::npos) {
    React(now, pending_.substr(from, found - from), out);
    from = found + term.size();
  }
  pending_.erase(0, from);
  return out;
}

void RemoteUnit::React(Millis now, const std::string& command, std::vector<Emission>& out) {
  if (config_->silent) return;
  Millis start = std::max(now, busy_until_);
  if (config_->plain) return ReactPlainly(start, command, out);
  Millis echoed = Emit(start, command + config_->cmd_term, false, out);
  busy_until_ = echoed;
  if (config_->echo_only) return;
  SendAnswer(echoed, AnswerFor(command), out);
}

void RemoteUnit::ReactPlainly(Millis start, std::string command, std::vector<Emission>& out) {
  // Instruments that end their lines with "\n" take "\r\n" as well.
  if (config_->cmd_term == "\n" && !command.empty() && command.back() == '\r') command.pop_back();
  if (command.empty() || config_->echo_only) return;  // a blank line is no command
  if (auto answer = PlainAnswerFor(command)) SendAnswer(start, *answer, out);
}

void RemoteUnit::SendAnswer(Millis after, const Answer& answer, std::vector<Emission>& out) {
  // Never before the echo, whatever delay a feature names (a negative TSND wait, say).
  Millis at = Later(after, answer.delay.value_or(config_->answer_delay));
  // A split unit keeps the answer's first chunk apart from the echo's last one, too.
  if (config_->split != 0 && !config_->plain) at = std::max(at, Later(after, config_->chunk_gap));
  std::string bytes = answer.text + answer.terminator.value_or(config_->resp_term);
  bool close = answer.close_after;
  if (config_->close_mid_answer && !cut_done_) {
    cut_done_ = true;
    bytes.resize(bytes.size() / 2);
    close = true;
  }
  busy_until_ = Emit(at, bytes, close, out);
}

Answer RemoteUnit::AnswerFor(const std::string& command) const {
  for (const auto& feature : config_->features) {
    if (auto answer = feature->Handle(command)) return *answer;
  }
  auto it = config_->answers.find(command);
  Answer answer;
  answer.text = it != config_->answers.end() ? it->second : config_->unknown_answer;
  if (auto delay = config_->answer_delays.find(command); delay != config_->answer_delays.end()) {
    answer.delay = delay->second;
  }
  return answer;
}

std::optional<Answer> RemoteUnit::PlainAnswerFor(const std::string& command) {
  if (config_->answers.count(command) != 0) return AnswerFor(command);
  if (command == "SYST:ERR?" || command == "SYSTEM:ERROR?") {
    Answer error;
    error.text = unread_errors_ > 0 ? kUndefinedHeader : kNoError;
    unread_errors_ = std::max(unread_errors_ - 1, 0);
    return error;
  }
  if (command == "*CLS") {
    unread_errors_ = 0;
    return std::nullopt;
  }
  if (config_->answer_unknown) return AnswerFor(command);
  if (command.find('?') == std::string::npos) return std::nullopt;
  unread_errors_ = std::min(unread_errors_ + 1, kErrorQueueLength);
  return std::nullopt;
}

Millis RemoteUnit::Emit(Millis at, const std::string& bytes, bool close_after,
                        std::vector<Emission>& out) {
  std::size_t size = config_->split == 0 ? bytes.size() : config_->split;
  if (bytes.empty()) {
    if (close_after) out.push_back({at, "", true});
    return at;
  }
  for (std::size_t pos = 0; pos < bytes.size(); pos += size) {
    if (pos > 0) at = Later(at, config_->chunk_gap);
    bool last = pos + size >= bytes.size();
    out.push_back({at, bytes.substr(pos, size), last && close_after});
  }
  return at;
}

std::map<std::string, std::string> ParseAnswerTable(std::string_view text,
                                                    const std::string& file) {
  std::map<std::string, std::string> table;
  std::size_t line_no = 0;
  auto where = [&] {
    return file.empty() ? "answer table line " + std::to_string(line_no)
                        : file + ":" + std::to_string(line_no);
  };
  while (!text.empty()) {
    std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0) {
      throw std::invalid_argument(where() + ": expected COMMAND=ANSWER");
    }
    try {
      table[DecodeEscapes(line.substr(0, eq))] = DecodeEscapes(line.substr(eq + 1));
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument(where() + ": " + e.what());
    }
  }
  return table;
}

}  // namespace parley::sim
