// parley-sim: a simulated remote unit for Parley's tests, its demo and users without hardware.
//
// The serial side lives on a pseudo-terminal: the first line printed is the device path a
// client opens (for example `parley serial --device /dev/pts/4 VER?`). The program runs until
// it receives SIGTERM or SIGINT.
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "gpib_forwarding.hpp"
#include "pty_front.hpp"
#include "remote_unit.hpp"

namespace {

using parley::sim::DecodeEscapes;
using parley::sim::UnitConfig;

const char* kUsage =
    "usage: parley-sim [options]\n"
    "  --delay MS         answer this many milliseconds after the echo (default 0)\n"
    "  --silent           neither echo nor answer (a unit that is switched off)\n"
    "  --echo-only        echo each command but never answer\n"
    "  --split N          send everything in chunks of N bytes\n"
    "  --chunk-gap MS     pause between chunks (default 30)\n"
    "  --answer CMD=TEXT  answer CMD with TEXT (repeatable; escapes \\r \\n \\t \\\\ \\xNN)\n"
    "  --answers FILE     read CMD=TEXT lines from FILE\n"
    "  --unknown TEXT     answer for commands not in the table (default OK)\n"
    "  --cmd-term TEXT    command terminator (default \\r\\n)\n"
    "  --resp-term TEXT   response terminator (default \\r\\n>)\n"
    "GPIB forwarding (\"/GPIB:\" messages; an instrument at every address):\n"
    "  --no-gpib          the forwarding feature is off: every message gets E010\n"
    "  --gpib-absent N    no instrument at address N: its messages get E008 (repeatable)\n"
    "  --gpib-busy        instruments report busy (status 01) for ever\n"
    "  --gpib-stray TEXT  an answer is already waiting in each instrument\n"
    "  --gpib-ready-after N  after a query is written, N polls still show busy\n"
    "  --gpib-answer-time MS  an instrument takes this long to answer TSND; longer than\n"
    "                     the message's wait gives E008\n";

long Number(const std::string& option, const std::string& text) {
  std::size_t used = 0;
  long value = -1;
  try {
    value = std::stol(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < 0) {
    throw std::invalid_argument(option + " expects a non-negative whole number, not '" + text +
                                "'");
  }
  return value;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::invalid_argument("cannot read answer table " + path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void AddAnswer(UnitConfig& config, const std::string& entry) {
  for (auto& [command, answer] : parley::sim::ParseAnswerTable(entry)) {
    config.answers[command] = answer;
  }
}

// The forwarding switches; false when `a` is not one of them.
bool ParseForwardingOption(const std::string& a, const std::function<const std::string&()>& value,
                           parley::sim::ForwardingConfig& gpib) {
  if (a == "--no-gpib") {
    gpib.enabled = false;
  } else if (a == "--gpib-absent") {
    gpib.absent.insert(static_cast<int>(Number(a, value())));
  } else if (a == "--gpib-busy") {
    gpib.busy = true;
  } else if (a == "--gpib-stray") {
    gpib.stray = DecodeEscapes(value());
  } else if (a == "--gpib-ready-after") {
    gpib.ready_after_polls = static_cast<int>(Number(a, value()));
  } else if (a == "--gpib-answer-time") {
    gpib.answer_time = parley::sim::Millis(Number(a, value()));
  } else {
    return false;
  }
  return true;
}

UnitConfig ParseOptions(const std::vector<std::string>& args) {
  UnitConfig config;
  parley::sim::ForwardingConfig gpib;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::function<const std::string&()> value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw std::invalid_argument(a + " needs a value");
      return args[++i];
    };
    if (ParseForwardingOption(a, value, gpib)) {
      continue;
    } else if (a == "--silent") {
      config.silent = true;
    } else if (a == "--echo-only") {
      config.echo_only = true;
    } else if (a == "--delay") {
      config.answer_delay = parley::sim::Millis(Number(a, value()));
    } else if (a == "--split") {
      config.split = static_cast<std::size_t>(Number(a, value()));
    } else if (a == "--chunk-gap") {
      config.chunk_gap = parley::sim::Millis(Number(a, value()));
    } else if (a == "--answer") {
      AddAnswer(config, value());
    } else if (a == "--answers") {
      for (auto& [c, text] : parley::sim::ParseAnswerTable(ReadFile(value()))) {
        config.answers[c] = text;
      }
    } else if (a == "--unknown") {
      config.unknown_answer = DecodeEscapes(value());
    } else if (a == "--cmd-term") {
      config.cmd_term = DecodeEscapes(value());
      if (config.cmd_term.empty()) throw std::invalid_argument("--cmd-term must not be empty");
    } else if (a == "--resp-term") {
      config.resp_term = DecodeEscapes(value());
    } else {
      throw std::invalid_argument("unknown option " + a);
    }
  }
  config.features.push_back(std::make_shared<parley::sim::GpibForwardingFeature>(gpib));
  return config;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << kUsage;
    return 0;
  }
  try {
    auto config = std::make_shared<const UnitConfig>(ParseOptions(args));
    asio::io_context io(1);
    parley::sim::PtyFront pty(io, config);
    std::cout << pty.DevicePath() << std::endl;
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
