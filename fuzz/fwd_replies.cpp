// The replies of the remote unit's GPIB forwarding feature: each parser on its own, and the
// dialogues of modes 1 and 4 (TSND, poll, OUT, IN, REN) against a scripted unit that answers
// every message with the next reply of the input, on the virtual clock.
//
// Input: the dialogue (a byte: 0 mode-1 Transact, 1 mode-4 Transact, 2 mode-4 Spoll,
// 3 RemoteEnable, 4 mode-4 GetTransact), a flags byte (bit 0: RespExpect off, bit 1: a 30 s
// instead of a 10 s RespTimeout), bytes for the GPIB address, ITC, idle and message-available
// masks, the command text, then the replies as texts, in the order the messages are sent.
//
// Checked: what a parser accepts is exactly what it must accept (a status it reads is the
// reply's two hex digits, and formatting it gives the reply again; a TSND, IN or REN reply is
// rebuilt from what was taken out of it); a dialogue that succeeds hands on just what its
// reply held, and the REN state it sends back is one the REN reply held; one that fails raises
// a forwarding error, a timeout or a validation error; the number of messages stays within
// what the polls and the timeout allow.
#include "forwarding/fwd_replies.hpp"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "catalogue/error_path.hpp"
#include "forwarding/gpib_forwarding.hpp"
#include "forwarding/inout.hpp"
#include "fuzz_input.hpp"
#include "interface/core.hpp"
#include "parley/interface.hpp"
#include "support/scripted_fwd_channel.hpp"
#include "support/virtual_host.hpp"

namespace {

namespace detail = parley::detail;
namespace err = parley::err;
using parley::fuzz::Check;

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

void CheckParsers(const std::string& reply) {
  if (auto status = detail::SpollStatus(reply)) {
    Check(*status >= 0 && *status <= 0xFF, "a status byte out of range");
    char text[32];
    std::snprintf(text, sizeof text, "/GPIB:SPOLL=%02X/", *status);
    Check(SameIgnoringCase(text, reply), "a status byte that does not round-trip");
  }
  if (auto answer = detail::TsndAnswer(reply)) {
    Check("/GPIB:TSND=" + *answer + "/" == reply, "a TSND answer that is not the reply's");
  }
  if (auto state = detail::RenState(reply)) {
    Check(!state->empty() && state->size() <= detail::kMaxRenValueLength, "a REN state's size");
    for (char c : *state) Check(c > 0x20 && c < 0x7F && c != '/', "a REN state's character");
    Check("/GPIB:REN=" + *state + "/" == reply, "a REN state that is not the reply's");
  }
  try {
    std::string data = detail::InAnswer(reply);
    Check("/GPIB:IN=\"" + detail::EscapeQuotes(data) + "\"/" == reply,
          "IN data that is not the reply's");
  } catch (const parley::AutomationError& e) {
    int32_t expected = reply == "/GPIB:E008/"   ? err::GpibDeviceTimeout
                       : reply == "/GPIB:E010/" ? err::GpibForwardingUnavailable
                                                : err::GpibForwardingUnrecognized;
    Check(e.Number() == expected, "an IN reply refused with the wrong error");
  }
}

bool AllowedFailure(int32_t number) {
  return number == err::GpibDeviceTimeout || number == err::GpibForwardingUnavailable ||
         number == err::GpibForwardingUnrecognized || number == err::GpibNoSerialPollResponse ||
         number == err::ResponseTerminatorTimeout || number == err::InvalidGpibTermination ||
         number == err::InvalidGpibAddress || number == err::InvalidCommand;
}

// The scripted unit's replies, each one given, and the last one given to each kind of message.
struct Replies {
  std::deque<std::string> pending;
  std::vector<std::string> given;
  std::map<std::string, std::string> last;

  std::string Next(const std::string& cmd) {
    std::string reply;
    if (!pending.empty()) {
      reply = std::move(pending.front());
      pending.pop_front();
    }
    last[parley::testing::ScriptedFwdChannel::KindOf(cmd)] = reply;
    given.push_back(reply);
    return reply;
  }
};

// Runs the dialogue; checks what a successful one hands on.
void RunDialogue(int op, detail::InterfaceCore& core, parley::testing::ScriptedFwdChannel& channel,
                 const Replies& replies, parley::KORTransaction& t) {
  bool settings_sent = false;
  detail::StepRunner steps = [&core](const std::function<void()>& f) { detail::RunStep(core, f); };
  if (op == 0) {
    core.settings.comm_mode = parley::korCommModeCRLFtoGPIB;
    detail::GpibForwarding(core, channel, settings_sent).TransactCRLFtoGPIB(t, steps);
    Check(t.resp() == detail::TsndAnswer(replies.last.at("TSND")).value(),
          "mode 1 answered otherwise");
    return;
  }
  core.settings.comm_mode = parley::korCommModeGPIBInOut;
  detail::GpibInOut inout(core, channel, settings_sent);
  if (op == 1) {
    inout.Transact(t, steps);
    if (t.RespExpect()) {
      Check(t.resp() == detail::InAnswer(replies.last.at("IN")), "mode 4 answered otherwise");
    }
  } else if (op == 2) {
    int16_t status = -1;
    inout.InOutSerialPoll(status);
    Check(status == detail::SpollStatus(replies.last.at("SPOLL")).value(), "a poll read otherwise");
  } else if (op == 3) {
    inout.RemoteEnable();
    // The query is the first message (a restoring one may end in "REN/" too: "REN=xREN/").
    auto state = detail::RenState(replies.given.at(0));
    Check(state.has_value(), "REN restored without a valid state");
    const std::string& restore = channel.sent.back().cmd;
    Check(restore.ends_with("REN=" + *state + "/"), "REN restored to another state");
  } else {
    inout.GetTransact(t, steps);
    Check(t.resp() == detail::InAnswer(replies.last.at("IN")), "GetTransact read otherwise");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  parley::fuzz::FuzzInput in(data, size);
  int op = in.Byte() % 5;
  uint8_t flags = in.Byte();
  uint8_t address = in.Byte();
  uint8_t itc = in.Byte();
  uint8_t idle = in.Byte();
  uint8_t mav = in.Byte();
  std::string cmd = in.Text(256);
  Replies replies;
  while (!in.empty()) replies.pending.push_back(in.Text());
  for (const std::string& reply : replies.pending) CheckParsers(reply);

  auto owned = std::make_shared<detail::VirtualHost>();
  detail::ScopedHost scoped(owned);
  parley::KORInterface iface;
  detail::InterfaceCore& core = detail::CoreOf(iface);
  core.settings.gpib_address = static_cast<int16_t>(address % 32);
  core.settings.itc = itc % 6;
  core.settings.idle_spoll = idle;
  core.settings.mav_spoll = mav;
  parley::testing::ScriptedFwdChannel channel(*owned);
  channel.respond = [&replies](const std::string& c) { return replies.Next(c); };

  parley::KORTransaction t;
  t.cmd(cmd);
  t.RespExpect((flags & 1) == 0);
  t.RespTimeout((flags & 2) ? parley::korMedium : parley::korShort);
  try {
    RunDialogue(op, core, channel, replies, t);
    parley::fuzz::Note("answered: " + t.resp());
  } catch (const parley::AutomationError& e) {
    parley::fuzz::Note("failed: " + std::to_string(e.Number()) + " " + e.Description());
    Check(AllowedFailure(e.Number()), "an unexpected error number");
  }
  // Three polls with three drains before the command, the command, a poll a second (each poll
  // taking 0.1 s of the scripted unit's time) until the timeout, and the read.
  Check(channel.sent.size() <= 7 + 2 + static_cast<std::size_t>(t.RespTimeout()),
        "the dialogue sent too many messages");
  return 0;
}
