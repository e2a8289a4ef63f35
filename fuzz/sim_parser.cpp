// The simulator's command side: the remote unit engine (command framing, echo, answers,
// splitting, the GPIB forwarding feature with its message parser and instruments), the answer
// table reader and the escape decoder, on any configuration and any bytes at any times.
//
// Input: a flags byte (bit 0 silent, bit 1 echo only, bit 2 close mid-answer, bit 3 the
// forwarding feature, bit 4 forwarding off, bit 5 busy instruments), bytes for the split size,
// the chunk gap, the answer delay (10 ms), the polls before ready and the instruments' answer
// time (100 ms), the command and response terminators, the unknown-command answer, the answer
// table text and a stray instrument answer, then chunks: a gap byte (10 ms) and a text each.
//
// Checked: the engine never names a time before the bytes that caused it nor goes back in
// time; a split unit sends no piece longer than its split; without features (and without the
// cut answer) what it sends is exactly each command framed from the input (as a plain split of
// everything received finds them) echoed with its terminator and followed by its table answer
// and the response terminator; escapes written for any text decode back to it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "gpib_forwarding.hpp"
#include "remote_unit.hpp"

namespace {

using parley::fuzz::Check;
using parley::sim::Millis;

// The escaped form of any text, as a user would write it for the tools.
std::string Escaped(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void CheckEscapes(const std::string& text) {
  Check(parley::sim::DecodeEscapes(Escaped(text)) == text, "escapes do not decode back");
  try {
    Check(parley::sim::DecodeEscapes(text).size() <= text.size(), "decoding made text longer");
  } catch (const std::invalid_argument&) {
  }
}

// What a unit without features sends for everything it received, framed by a plain split.
std::string ExpectedStream(const parley::sim::UnitConfig& c, const std::string& received) {
  std::string out;
  if (c.silent || c.cmd_term.empty()) return out;
  std::size_t from = 0;
  std::size_t end;
  while ((end = received.find(c.cmd_term, from)) != std::string::npos) {
    std::string command = received.substr(from, end - from);
    out += command + c.cmd_term;
    if (!c.echo_only) {
      auto it = c.answers.find(command);
      out += (it != c.answers.end() ? it->second : c.unknown_answer) + c.resp_term;
    }
    from = end + c.cmd_term.size();
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  parley::fuzz::FuzzInput in(data, size);
  auto config = std::make_shared<parley::sim::UnitConfig>();
  uint8_t flags = in.Byte();
  config->silent = flags & 1;
  config->echo_only = flags & 2;
  config->close_mid_answer = flags & 4;
  config->split = in.Byte() % 17;
  config->chunk_gap = Millis(in.Byte());
  config->answer_delay = Millis(in.Byte() * 10);
  parley::sim::ForwardingConfig forwarding;
  forwarding.enabled = (flags & 16) == 0;
  forwarding.busy = flags & 32;
  forwarding.ready_after_polls = in.Byte() % 4;
  forwarding.answer_time = Millis(in.Byte() * 100);
  config->cmd_term = in.Text(8);
  config->resp_term = in.Text(8);
  config->unknown_answer = in.Text(64);
  std::string table = in.Text(512);
  forwarding.stray = in.Text(64);
  CheckEscapes(config->unknown_answer);
  CheckEscapes(table);
  try {
    config->answers = parley::sim::ParseAnswerTable(table);
  } catch (const std::invalid_argument&) {
  }
  const bool features = flags & 8;
  if (features) {
    config->features.push_back(std::make_shared<parley::sim::GpibForwardingFeature>(forwarding));
  }

  parley::sim::RemoteUnit unit(config);
  Millis now{0};
  Millis last{0};
  std::string received;
  std::string sent;
  while (!in.empty()) {
    now += Millis(in.Byte() * 10);
    std::string chunk = in.Text();
    received += chunk;
    for (const parley::sim::Emission& e : unit.Receive(now, chunk)) {
      Check(e.at >= now, "an emission before the bytes that caused it");
      Check(e.at >= last, "an emission earlier than the one before");
      Check(config->split == 0 || e.bytes.size() <= config->split, "a piece longer than split");
      last = e.at;
      sent += e.bytes;
    }
  }
  if (!features && !config->close_mid_answer) {
    Check(sent == ExpectedStream(*config, received), "the unit sent something else");
  }
  return 0;
}
