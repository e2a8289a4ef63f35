// The "/GPIB:" messages spoken to the remote unit's GPIB forwarding feature: the settings
// header, quote escaping, reply parsing, the serial poll before a forwarded command and the
// send-and-read (TSND) transaction of mode 1. Mode 4 (forwarding/inout.hpp) builds on the same
// pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "catalogue/error_path.hpp"
#include "model/link_context.hpp"
#include "parley/transaction.hpp"

namespace parley::detail {

class SerialLink;

// The serial exchange the forwarding messages travel over. The real one runs SerialTransact;
// logic tests plug in a scripted remote unit.
class FwdChannel {
 public:
  virtual ~FwdChannel() = default;
  // One echoed command/response exchange; the response lands in `t.resp()`.
  virtual void Exchange(KORTransaction& t) = 0;
  // Whether the serial port is held (obtained from the manager and open).
  virtual bool PortHeld() const = 0;

  // Set by the sender for one exchange; an Exchange calls it once the command is on the line
  // (an exchange that fails before that never calls it).
  std::function<void()> transmitted;
};

// The channel over an interface's own serial link.
class SerialFwdChannel final : public FwdChannel {
 public:
  explicit SerialFwdChannel(SerialLink& serial) : serial_(serial) {}
  void Exchange(KORTransaction& t) override;
  bool PortHeld() const override;

 private:
  SerialLink& serial_;
};

// Every double quote becomes "<22>"; everything else travels unchanged.
std::string EscapeQuotes(std::string_view cmd);

bool StartsWith(std::string_view text, std::string_view prefix);

// The polls of both forwarding modes: each exchange's timeout, how often an instrument is asked
// before a command before giving up, and the pause between those polls.
inline constexpr int32_t kPollTimeoutSeconds = 10;
inline constexpr int kPollAttempts = 3;
inline constexpr float kPollIntervalSeconds = 1.0f;

inline constexpr std::string_view kSpollPrefix = "/GPIB:SPOLL=";
inline constexpr std::string_view kTsndPrefix = "/GPIB:TSND=";
inline constexpr std::string_view kDeviceTimeoutReply = "/GPIB:E008/";
inline constexpr std::string_view kForwardingOffReply = "/GPIB:E010/";
// The remote unit's prompt terminator, which the poll replies are framed with.
inline constexpr std::string_view kForwardingRespTerm = "\r\n>";

// Raises the error a poll reply other than a status stands for: E008, E010, or no answer
// (anything else, a malformed status included).
[[noreturn]] void RaisePollFailure(std::string_view reply);

// The forwarding dialogue of one interface over one channel.
class GpibForwarding {
 public:
  // `settings_sent`: the full settings header went out since the port was last obtained; the
  // forwarding link owns it across messages.
  GpibForwarding(LinkContext& core, FwdChannel& channel, bool& settings_sent)
      : core_(core), channel_(channel), settings_sent_(settings_sent) {}

  // The header for the next message: the full settings block the first time after the port
  // was obtained (and whenever the port is not held), "/GPIB:" after that.
  std::string GPIBFwdHeader();

  // Polls up to three times, a second apart, until the instrument reports idle ("02"),
  // draining a waiting stray answer on the way; raises otherwise.
  void GPIBFwdPollBeforeSend();

  // The mode-1 branch of Transact after validation: poll, TSND, cut the answer.
  void TransactCRLFtoGPIB(KORTransaction& t, const StepRunner& step);

  // One exchange of `message` (header included) on `t` with timeout `seconds`.
  void Send(KORTransaction& t, std::string message, int32_t seconds);

  // Puts the prompt terminator the poll replies use into the setting itself (past the
  // open-port guard of the put).
  void ForceRespTerm() { core_.settings.resp_term = std::string(kForwardingRespTerm); }

 private:
  LinkContext& core_;
  FwdChannel& channel_;
  bool& settings_sent_;
};

}  // namespace parley::detail
