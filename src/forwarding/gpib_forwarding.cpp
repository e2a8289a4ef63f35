#include "forwarding/gpib_forwarding.hpp"

#include <string>

#include "forwarding/fwd_replies.hpp"
#include "model/access.hpp"
#include "model/timeout.hpp"
#include "serial/serial_link.hpp"

namespace parley::detail {
namespace {

// How a message carrying the full settings header begins.
constexpr std::string_view kFullHeaderStart = "/GPIB:ADDR=";

// Replies the poll before a mode-1 command tells apart.
constexpr std::string_view kIdleReply = "/GPIB:SPOLL=02/";
constexpr std::string_view kBusyReply = "/GPIB:SPOLL=01/";
constexpr std::string_view kMessageReply = "/GPIB:SPOLL=04/";
constexpr std::string_view kMessageServiceReply = "/GPIB:SPOLL=44/";

const char* TerminationName(int32_t itc) {
  switch (itc) {
    case korITC_EOI:
      return "EOI";
    case korITC_CR:
      return "CR";
    case korITC_LF:
      return "LF";
    case korITC_CRLF:
      return "CRLF";
    default:
      return nullptr;
  }
}

}  // namespace

void SerialFwdChannel::Exchange(KORTransaction& t) {
  serial_.on_transmit = transmitted;
  try {
    serial_.SerialTransact(t);
  } catch (...) {
    serial_.on_transmit = nullptr;
    throw;
  }
  serial_.on_transmit = nullptr;
}
bool SerialFwdChannel::PortHeld() const { return serial_.arbiter().port_held(); }

std::string EscapeQuotes(std::string_view cmd) {
  std::string out;
  out.reserve(cmd.size());
  for (char c : cmd) {
    if (c == '"') {
      out += "<22>";
    } else {
      out += c;
    }
  }
  return out;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

void RaisePollFailure(std::string_view reply) {
  if (reply == kDeviceTimeoutReply) Raise(err::GpibDeviceTimeout);
  if (reply == kForwardingOffReply) Raise(err::GpibForwardingUnavailable);
  Raise(err::GpibNoSerialPollResponse);
}

std::string GpibForwarding::GPIBFwdHeader() {
  if (channel_.PortHeld() && settings_sent_) return "/GPIB:";
  const auto& s = core_.settings;
  const char* itc = TerminationName(s.itc);
  // Validation keeps ITC in range before forwarding; a header with a made-up name would
  // configure the instrument wrongly, so refuse instead.
  if (!itc) Raise(err::InvalidGpibTermination);
  // Marked sent only once a message carrying it is on the line (Send): until then the unit
  // may still work under settings another program or an earlier opening left.
  settings_sent_ = false;
  return std::string(kFullHeaderStart) + std::to_string(s.gpib_address) +
         ",DTO=" + std::to_string(s.dto) + ",ITC=" + itc + ",REN=1,";
}

void GpibForwarding::Send(KORTransaction& t, std::string message, int32_t seconds) {
  const bool full_header = StartsWith(message, kFullHeaderStart);
  t.cmd(std::move(message));
  t.RespTimeout(seconds);
  channel_.transmitted = nullptr;
  if (full_header) channel_.transmitted = [this] { settings_sent_ = true; };
  try {
    channel_.Exchange(t);
  } catch (...) {
    channel_.transmitted = nullptr;
    throw;
  }
  channel_.transmitted = nullptr;
}

void GpibForwarding::GPIBFwdPollBeforeSend() {
  core_.UpdateProgress("Performing serial poll before transmission");
  KORTransaction poll;
  std::string message = GPIBFwdHeader() + "SPOLL/";
  ForceRespTerm();
  for (int attempt = 0; attempt < kPollAttempts; ++attempt) {
    Send(poll, message, kPollTimeoutSeconds);
    const std::string& reply = poll.resp();
    if (reply == kIdleReply) {
      core_.UpdateProgress("");
      return;
    }
    if (reply == kMessageReply || reply == kMessageServiceReply) {
      core_.UpdateProgress("Getting stray response out of buffer");
      KORTransaction stray;
      Send(stray, GPIBFwdHeader() + "IN/", kPollTimeoutSeconds);
    } else if (reply != kBusyReply) {
      core_.UpdateProgress("");
      RaisePollFailure(reply);
    }
    WaitSeconds(core_.host, kPollIntervalSeconds);
  }
  core_.UpdateProgress("");
  Raise(err::GpibNoSerialPollResponse);
}

void GpibForwarding::TransactCRLFtoGPIB(KORTransaction& t, const StepRunner& step) {
  step([&] { GPIBFwdPollBeforeSend(); });
  KORTransaction working;
  step([&] {
    std::string message = GPIBFwdHeader() + "WTIM=" + std::to_string(t.RespTimeout()) + ",MSG=\"" +
                          EscapeQuotes(t.cmd()) + "\",TSND/";
    Send(working, std::move(message), t.RespTimeout());
  });
  std::string answer;
  step([&] {
    auto checked = TsndAnswer(working.resp());
    if (!checked) Raise(err::GpibForwardingUnrecognized);
    answer = std::move(*checked);
  });
  TransactionAccess::SetResp(t, answer);
}

}  // namespace parley::detail
