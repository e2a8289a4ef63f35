#include "script.hpp"

#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "input_file.hpp"

namespace parley::cli {

void DefineScriptOptions(OptionSet& o) {
  o.Flag("--json", "print one JSON object a line per transaction instead of the response");
  o.Text("--script", "FILE",
         "read commands from FILE, one a line ('#' comments and empty lines skipped), after the "
         "COMMAND words; a COMMAND '-' reads them from standard input likewise");
  o.Flag("--keep-going",
         "a failed command does not stop the others (the exit status is still "
         "the first failure's)");
}

CommandSource::CommandSource(const Options& options, std::istream& input) : input_(input) {
  words_ = options.Positional();
  use_stdin_ = options.Has("stdin");
  if (options.Has("script")) {
    script_name_ = options.Get("script");
    try {
      script_.str(tools::ReadInputFile(script_name_, "script"));
    } catch (const std::invalid_argument& e) {
      throw std::runtime_error(e.what());
    }
    script_done_ = false;
  }
}

std::optional<CommandLine> CommandSource::NextLine(std::istream& in, const std::string& name,
                                                   long& number) {
  std::string line;
  while (true) {
    line.clear();
    int c = 0;
    bool any = false;
    while ((c = in.get()) != std::char_traits<char>::eof()) {
      any = true;
      if (c == '\n') break;
      if (line.size() == kMaxScriptLine) {
        throw std::invalid_argument(name + ":" + std::to_string(number + 1) +
                                    ": line longer than " + std::to_string(kMaxScriptLine) +
                                    " bytes");
      }
      line += static_cast<char>(c);
    }
    if (!any) {
      if (in.bad()) throw std::invalid_argument(name + ": read error");
      return std::nullopt;
    }
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    return CommandLine{line, name + ":" + std::to_string(number)};
  }
}

std::optional<CommandLine> CommandSource::Next() {
  if (next_word_ < words_.size()) {
    ++next_word_;
    return CommandLine{words_[next_word_ - 1], "argument " + std::to_string(next_word_)};
  }
  if (!script_done_) {
    if (auto line = NextLine(script_, script_name_, script_line_)) return line;
    script_done_ = true;
  }
  if (use_stdin_) {
    if (auto line = NextLine(input_, "stdin", stdin_line_)) return line;
    use_stdin_ = false;
  }
  return std::nullopt;
}

std::string JsonRecord(const TransactionRecord& r) {
  char number[16];
  std::snprintf(number, sizeof number, "0x%08X", static_cast<uint32_t>(r.error));
  nlohmann::ordered_json j;
  j["command"] = r.command;
  if (r.has_response) {
    j["response"] = r.response;
    j["response_hex"] = HexBytes(r.response);
  } else {
    j["response"] = nullptr;
    j["response_hex"] = nullptr;
  }
  j["elapsed_ms"] = static_cast<int64_t>(r.elapsed_ms + 0.5);
  j["error"] = number;
  j["message"] = r.message;
  j["source"] = r.source;
  j["stage"] = r.stage;
  j["where"] = r.where;
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace parley::cli
