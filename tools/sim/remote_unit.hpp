// The remote unit that parley-sim plays, as a pure engine: bytes in, timed bytes out.
//
// The engine knows nothing of devices, sockets or clocks. A front (the pseudo-terminal front,
// a TCP front) feeds it what a client sent, with the time it arrived, and writes out what the
// engine answers at the moments it names. Commands that a feature recognises (for example the
// GPIB forwarding feature with its simulated instruments) are answered by that feature; the
// rest by the answer table.
//
// Protocol: each command ends with `cmd_term`; the unit echoes the command with its terminator
// at once, then, after the answer delay, sends the answer followed by `resp_term`. Commands
// are handled one after the other: a command that arrives while an answer is pending is
// echoed only after that answer has gone out.
//
// As a plain instrument (UnitConfig::plain: a meter on a serial adapter, a supply on a LAN
// socket) the engine sends no echo, no prompt and no greeting: each command is answered after
// its delay with the answer and the instrument's terminator, or not at all (see
// PlainAnswerFor).
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "escapes.hpp"

namespace parley::sim {

using Millis = std::chrono::milliseconds;

// The bounds of the settings, for the options and the scenario files alike: the longest time
// (a day) and the largest chunk.
inline constexpr long kMaxMillis = 86'400'000;
inline constexpr std::size_t kMaxSplit = 1u << 24;

// The latest moment the engine names: far enough for any delay, near enough that a front can add
// it to a steady-clock start time without overflow. Times past it are clamped to it.
inline constexpr Millis kLatest{
    std::chrono::duration_cast<Millis>(std::chrono::steady_clock::duration::max()).count() / 4};
// `at` + `by`, saturating at kLatest (a negative `by` counts as none).
Millis Later(Millis at, Millis by);

// Bytes to send at `at` (the same clock as the arrival times given to RemoteUnit::Receive).
// `close_after` asks a front that can end the connection (TCP) to do so after these bytes.
struct Emission {
  Millis at{0};
  std::string bytes;
  bool close_after = false;
};

// One answer of a feature or of the table.
struct Answer {
  std::string text;                       // without the response terminator
  std::optional<Millis> delay;            // after the echo; default UnitConfig::answer_delay
  std::optional<std::string> terminator;  // default UnitConfig::resp_term
  bool close_after = false;               // end the connection after the answer (TCP front)
};

// A part of the unit that answers some commands itself. Handle returns nothing for a command
// it does not recognise, so the next feature or the answer table gets it. Features may keep
// state (an instrument's settings); one engine calls them on one thread.
class Feature {
 public:
  virtual ~Feature() = default;
  virtual std::optional<Answer> Handle(const std::string& command) = 0;
};

struct UnitConfig {
  // A plain instrument instead of the unit: no echo, a CR before a "\n" command terminator is
  // dropped, unknown commands as PlainAnswerFor says, no GPIB forwarding, no TCP greeting.
  bool plain = false;
  std::string cmd_term = "\r\n";
  std::string resp_term = "\r\n>";
  Millis answer_delay{0};
  bool silent = false;     // neither echo nor answer
  bool echo_only = false;  // echo with its terminator, never an answer
  // Non-zero: everything sent is cut into chunks of this many bytes, `chunk_gap` apart, so a
  // receiver sees the answer (and its terminator) spread over many reads.
  std::size_t split = 0;
  Millis chunk_gap{30};
  std::map<std::string, std::string> answers = DefaultAnswers();
  // Commands of the table answered after their own delay instead of `answer_delay`.
  std::map<std::string, Millis> answer_delays;
  std::string unknown_answer = "OK";
  // False: commands not in the table get no answer at all (a plain instrument's default).
  bool answer_unknown = true;
  // The first answer stops after half its bytes and the front then ends the connection (a
  // unit that dies mid-answer); fronts that cannot close (the pseudo-terminal) just stop.
  bool close_mid_answer = false;
  std::vector<std::shared_ptr<Feature>> features;

  static std::map<std::string, std::string> DefaultAnswers();
  // A plain instrument's built-in answers: its identity for *IDN?.
  static std::map<std::string, std::string> PlainDefaultAnswers();
};

// The identity a plain instrument gives for *IDN?.
inline constexpr const char* kPlainIdentity = "PARLEY,SIM-PLAIN,0,1.0";
// What a plain instrument's SYST:ERR? reports after an unknown query, and with none left.
inline constexpr const char* kUndefinedHeader = "-113,\"Undefined header\"";
inline constexpr const char* kNoError = "0,\"No error\"";
// The errors a plain instrument keeps for SYST:ERR?; later ones are lost.
inline constexpr int kErrorQueueLength = 10;

// Which settings the user gave (options, scenario), so the personality fills in the rest.
struct GivenSettings {
  bool cmd_term = false;
  bool resp_term = false;
  bool unknown = false;
};

// Completes a configuration that the options and scenarios filled from an empty answer table:
// the built-in answers of the personality (the unit's or the plain instrument's) go under the
// user's, and a plain instrument's terminators default to "\n" and its unknown commands to no
// answer unless the user gave them.
void CompleteConfig(UnitConfig& config, const GivenSettings& given);

class RemoteUnit {
 public:
  explicit RemoteUnit(std::shared_ptr<const UnitConfig> config);

  // Takes bytes that arrived at `now` and returns what the unit sends in reply, in order of
  // time; times never go backwards across calls and are never before `now`.
  std::vector<Emission> Receive(Millis now, std::string_view bytes);

  // The client went away: an unterminated command it left is dropped, so the next client's
  // first command is not glued to it.
  void DropPartialCommand() { pending_.clear(); }

  const UnitConfig& config() const { return *config_; }

 private:
  void React(Millis now, const std::string& command, std::vector<Emission>& out);
  void ReactPlainly(Millis start, std::string command, std::vector<Emission>& out);
  // Sends `answer` and its terminator after its delay from `after`.
  void SendAnswer(Millis after, const Answer& answer, std::vector<Emission>& out);
  Answer AnswerFor(const std::string& command) const;
  // A plain instrument's answer: the table's; SYST:ERR? the oldest error; nothing for *CLS
  // (which clears the errors) and other commands without '?' (settings); an unknown query gets
  // nothing and leaves -113 for SYST:ERR?, or gets the unknown answer when one was given.
  std::optional<Answer> PlainAnswerFor(const std::string& command);
  // Appends `bytes` at `at`, cut into chunks when the unit splits; returns the last moment.
  Millis Emit(Millis at, const std::string& bytes, bool close_after, std::vector<Emission>& out);

  std::shared_ptr<const UnitConfig> config_;
  std::string pending_;  // bytes of a command whose terminator has not arrived yet
  Millis busy_until_{0};
  bool cut_done_ = false;
  int unread_errors_ = 0;  // a plain instrument's error queue (all -113)
};

// The tools' shared escapes (\r \n \t \\ \xNN); a malformed one throws std::invalid_argument.
using tools::DecodeEscapes;

// Reads an answer table: one "COMMAND=ANSWER" per line (escapes decoded in both halves; empty
// lines and lines starting with '#' skipped). Throws std::invalid_argument naming the line,
// as "FILE:LINE: ..." when the table came from the file `file`.
std::map<std::string, std::string> ParseAnswerTable(std::string_view text,
                                                    const std::string& file = "");

}  // namespace parley::sim
