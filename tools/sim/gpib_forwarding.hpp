// The remote unit's GPIB forwarding feature, with simulated instruments behind it.
//
// It answers the "/GPIB:" messages: an optional settings header (ADDR, DTO, ITC, REN fields)
// followed by one verb: SPOLL (status byte as two hex digits), IN (the instrument's pending
// output), WTIM=t,MSG="m",TSND (send and read back, waiting up to t seconds), DTO=d,MSG="m",OUT
// (send only), REN (query the remote-enable line) and REN=v (set it). "<22>" inside a message
// is a double quote again. Header settings persist between messages, as on the real unit.
//
// Status byte: 0x01 busy, 0x02 idle, 0x04 message available (0x44 once *SRE asked for a
// service request on it).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "remote_unit.hpp"

namespace parley::sim {

// The most polls --gpib-ready-after (or a scenario's ready-after) may hold an answer back.
inline constexpr int kMaxReadyAfterPolls = 1'000'000;

struct ForwardingConfig {
  bool enabled = true;        // false: every message gets "/GPIB:E010/"
  std::set<int> absent;       // addresses with no instrument: "/GPIB:E008/"
  bool busy = false;          // instruments report busy (0x01) for ever
  std::string stray;          // an answer already waiting in the instrument at the start
  int ready_after_polls = 0;  // after OUT, polls that still show busy before the answer
  Millis answer_time{0};      // how long an instrument takes to answer a query
  // Per address, the status bytes its next serial polls return, in order, before the above.
  std::map<int, std::vector<int>> status_sequences;
};

// One instrument: a small SCPI-like command set and its output queue.
class SimInstrument {
 public:
  explicit SimInstrument(int address) : address_(address) {}

  // Takes a command; queries put their answer into the output.
  void Write(const std::string& command);
  bool HasOutput() const { return output_.has_value(); }
  std::string TakeOutput();
  void SetOutput(std::string text) { output_ = std::move(text); }
  bool service_request_on_output() const { return (sre_ & 0x10) != 0; }

 private:
  std::optional<std::string> Reply(const std::string& command);

  int address_;
  std::optional<std::string> output_;
  double value_ = 1.2345;  // what MEAS? measures; VOLT sets it
  int sre_ = 0;
};

class GpibForwardingFeature : public Feature {
 public:
  explicit GpibForwardingFeature(ForwardingConfig config);
  std::optional<Answer> Handle(const std::string& command) override;

 private:
  // A message split into its fields (NAME=VALUE, MSG with its quotes removed) and verb.
  struct Message {
    std::map<std::string, std::string> fields;
    std::string verb;
  };
  static std::optional<Message> Parse(const std::string& body);
  void ApplyHeader(const Message& m);
  Answer Dispatch(const Message& m);
  Answer Spoll(SimInstrument& instrument);
  Answer In(SimInstrument& instrument);
  Answer Tsnd(SimInstrument& instrument, const Message& m);
  Answer Out(SimInstrument& instrument, const Message& m);
  Answer Ren(const std::string& verb);
  SimInstrument& Instrument();

  ForwardingConfig config_;
  std::map<int, SimInstrument> instruments_;
  int address_ = 1;
  int dto_ = 5;
  std::string itc_ = "EOI";
  std::string ren_ = "1";
  int polls_until_ready_ = 0;
  std::map<int, std::deque<int>> sequences_;  // what is left of each status sequence
};

// Every "<22>" turned back into a double quote.
std::string UnescapeQuotes(const std::string& text);

}  // namespace parley::sim
