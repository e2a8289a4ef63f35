// parley-sim: a simulated remote unit for Parley's tests, its demo and users without hardware.
//
// The serial side lives on a pseudo-terminal: the first line printed is the device path a
// client opens (for example `parleyctl serial --device /dev/pts/4 VER?`). With --tcp or
// --tcp-port the unit also serves TCP on 127.0.0.1, and the second line printed is the port.
// The program runs until it receives SIGTERM or SIGINT.
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <functional>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "decimal.hpp"
#include "gpib_forwarding.hpp"
#include "input_file.hpp"
#include "pty_front.hpp"
#include "remote_unit.hpp"
#include "scenario.hpp"
#include "tcp_front.hpp"

namespace {

using parley::sim::DecodeEscapes;
using parley::sim::Millis;
using parley::sim::UnitConfig;

struct SimOptions {
  UnitConfig unit;
  std::optional<parley::sim::TcpOptions> tcp;
};

const char* kUsage =
    "Usage: parley-sim [options]\n"
    "Times are whole milliseconds from 0 to 86400000 (a day).\n"
    "  --plain            play a plain instrument instead of the unit: no echo, no prompt, no\n"
    "                     greeting; *IDN? gives "
    "PARLEY,SIM-PLAIN,0,1.0, SYST:ERR? the error\n"
    "                     queue; an unknown query gets no answer (it leaves -113 for SYST:ERR?)\n"
    "                     unless --unknown is given; terminators default to \\n (a command may\n"
    "                     end in \\r\\n too)\n"
    "  --delay MS         answer this many milliseconds after the echo (default 0)\n"
    "  --silent           neither echo nor answer (a unit that is switched off)\n"
    "  --echo-only        echo each command but never answer\n"
    "  --split N          send everything in chunks of N bytes (0 to 16777216; 0: whole)\n"
    "  --chunk-gap MS     pause between chunks (default 30)\n"
    "  --answer CMD=TEXT  answer CMD with TEXT (repeatable; escapes \\r \\n \\t \\\\ \\xNN)\n"
    "  --answers FILE     read CMD=TEXT lines from FILE (a regular file of at most 16 MiB)\n"
    "  --scenario FILE    answers, delays, faults and status bytes from a TOML file; the\n"
    "                     options after it override it\n"
    "  --unknown TEXT     answer for commands not in the table (default OK; plain: none)\n"
    "  --cmd-term TEXT    command terminator (default \\r\\n; plain: \\n)\n"
    "  --resp-term TEXT   response terminator (default \\r\\n>; plain: \\n)\n"
    "Each client starts afresh: a command left without its terminator when a client closes the\n"
    "pseudo-terminal or its TCP connection is dropped.\n"
    "TCP service (on 127.0.0.1; the port is the second line printed):\n"
    "  --tcp              serve TCP on port 6000\n"
    "  --tcp-port N       serve TCP on port N (0 to 65535; 0: any free port)\n"
    "  --no-greeting      do not greet a new connection with \"\\r\\n> \"\n"
    "  --split-greeting   greet in two pieces, 50 ms apart\n"
    "  --close-mid-answer  cut the first answer of each connection halfway and close it\n"
    "GPIB forwarding (/GPIB: messages; an instrument at every address):\n"
    "  --no-gpib          the forwarding feature is off: every message gets E010\n"
    "  --gpib-absent N    no instrument at address N (0 to 30): its messages get E008\n"
    "                     (repeatable)\n"
    "  --gpib-busy        instruments report busy (status 01) for ever\n"
    "  --gpib-stray TEXT  an answer is already waiting in each instrument\n"
    "  --gpib-ready-after N  after a query is written, N polls (up to 1000000) still show busy\n"
    "  --gpib-answer-time MS  an instrument takes this long to answer TSND; longer than\n"
    "                     the message's wait gives E008\n";

using parley::sim::kMaxMillis;

// A whole number in decimal from `low` to `high`; anything else names the option and its range.
long Number(const std::string& option, const std::string& text, long low, long high) {
  auto value = parley::tools::ParseDecimal(text);
  if (!value || *value < low || *value > high) {
    throw std::invalid_argument(option + " expects a whole number from " + std::to_string(low) +
                                " to " + std::to_string(high) + ", not '" + text + "'");
  }
  return static_cast<long>(*value);
}

Millis Duration(const std::string& option, const std::string& text) {
  return Millis(Number(option, text, 0, kMaxMillis));
}

// Adds the "CMD=TEXT" lines of `table` (one --answer, or a whole --answers `file`).
void AddAnswers(UnitConfig& config, const std::string& table, const std::string& file = "") {
  for (auto& [command, answer] : parley::sim::ParseAnswerTable(table, file)) {
    config.answers[command] = answer;
  }
}

// The TCP switches; false when `a` is not one of them.
bool ParseTcpOption(const std::string& a, const std::function<const std::string&()>& value,
                    SimOptions& options) {
  auto tcp = [&]() -> parley::sim::TcpOptions& {
    if (!options.tcp) options.tcp.emplace();
    return *options.tcp;
  };
  if (a == "--tcp") {
    tcp();
  } else if (a == "--tcp-port") {
    tcp().port = static_cast<std::uint16_t>(Number(a, value(), 0, 65535));
  } else if (a == "--no-greeting") {
    tcp().greeting = false;
  } else if (a == "--split-greeting") {
    tcp().split_greeting = true;
  } else if (a == "--close-mid-answer") {
    options.unit.close_mid_answer = true;
  } else {
    return false;
  }
  return true;
}

// The forwarding switches; false when `a` is not one of them.
bool ParseForwardingOption(const std::string& a, const std::function<const std::string&()>& value,
                           parley::sim::ForwardingConfig& gpib) {
  if (a == "--no-gpib") {
    gpib.enabled = false;
  } else if (a == "--gpib-absent") {
    gpib.absent.insert(static_cast<int>(Number(a, value(), 0, 30)));
  } else if (a == "--gpib-busy") {
    gpib.busy = true;
  } else if (a == "--gpib-stray") {
    gpib.stray = DecodeEscapes(value());
  } else if (a == "--gpib-ready-after") {
    gpib.ready_after_polls =
        static_cast<int>(Number(a, value(), 0, parley::sim::kMaxReadyAfterPolls));
  } else if (a == "--gpib-answer-time") {
    gpib.answer_time = Duration(a, value());
  } else {
    return false;
  }
  return true;
}

SimOptions ParseOptions(const std::vector<std::string>& args) {
  SimOptions options;
  UnitConfig& config = options.unit;
  config.answers.clear();  // the personality's built-in answers come last, under the user's
  parley::sim::GivenSettings given;
  parley::sim::ForwardingConfig gpib;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::function<const std::string&()> value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw std::invalid_argument(a + " needs a value");
      return args[++i];
    };
    if (ParseForwardingOption(a, value, gpib) || ParseTcpOption(a, value, options)) {
      continue;
    } else if (a == "--plain") {
      config.plain = true;
    } else if (a == "--silent") {
      config.silent = true;
    } else if (a == "--echo-only") {
      config.echo_only = true;
    } else if (a == "--delay") {
      config.answer_delay = Duration(a, value());
    } else if (a == "--split") {
      config.split = static_cast<std::size_t>(Number(a, value(), 0, parley::sim::kMaxSplit));
    } else if (a == "--chunk-gap") {
      config.chunk_gap = Duration(a, value());
    } else if (a == "--answer") {
      AddAnswers(config, value());
    } else if (a == "--answers") {
      const std::string& file = value();
      AddAnswers(config, parley::tools::ReadInputFile(file, "answer table"), file);
    } else if (a == "--scenario") {
      parley::sim::ApplyScenario(value(), config, given, gpib, options.tcp);
    } else if (a == "--unknown") {
      config.unknown_answer = DecodeEscapes(value());
      given.unknown = true;
    } else if (a == "--cmd-term") {
      config.cmd_term = DecodeEscapes(value());
      if (config.cmd_term.empty()) throw std::invalid_argument("--cmd-term must not be empty");
      given.cmd_term = true;
    } else if (a == "--resp-term") {
      config.resp_term = DecodeEscapes(value());
      given.resp_term = true;
    } else {
      throw std::invalid_argument("unknown option " + a);
    }
  }
  parley::sim::CompleteConfig(config, given);
  // A plain instrument forwards nothing: "/GPIB:" messages are commands like any other.
  if (!config.plain) {
    config.features.push_back(std::make_shared<parley::sim::GpibForwardingFeature>(gpib));
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << kUsage;
    return 0;
  }
  try {
    SimOptions options = ParseOptions(args);
    auto config = std::make_shared<const UnitConfig>(std::move(options.unit));
    asio::io_context io(1);
    parley::sim::PtyFront pty(io, config);
    std::optional<parley::sim::TcpFront> tcp;
    if (options.tcp) tcp.emplace(io, config, *options.tcp);
    std::cout << pty.DevicePath() << std::endl;
    if (tcp) std::cout << tcp->Port() << std::endl;
    asio::signal_set stop(io, SIGTERM, SIGINT);
    stop.async_wait([&](std::error_code, int) { io.stop(); });
    io.run();
    return 0;
  } catch (const std::invalid_argument& e) {
    std::cerr << "parley-sim: " << e.what() << "\n" << kUsage;
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "parley-sim: " << e.what() << "\n";
    return 1;
  }
}
