// `parleyctl tcp`: text or byte transactions with the remote unit over its TCP service.

#include <stdexcept>
#include <string>

#include "cli.hpp"
#include "links.hpp"
#include "plain_link.hpp"
#include "script.hpp"
#include "serial_cmd.hpp"

namespace parley::cli {
namespace {

void Configure(KORInterface& iface, const Options& options) {
  iface.commMode(korCommModeEther);
  ApplyTcpSettings(iface, options);
  ApplyTerminators(iface, options);
  ApplyPlainLink(iface, options);
}

KORTransaction MakeTransaction(const std::string& word, bool bytes, const TransactionTimes& times) {
  KORTransaction t;
  if (bytes) {
    t = ByteTransaction(word, times.seconds);
  } else {
    t.cmd(DecodeEscapes(word));
  }
  ApplyTimes(t, times);
  return t;
}

std::string ResponseText(const KORTransaction& t, bool bytes, bool raw) {
  if (bytes) return HexBytes(t.ByteArrRespStrVal());
  return raw ? t.resp() : Visible(t.resp());
}

}  // namespace

void ApplyTcpSettings(KORInterface& iface, const Options& options) {
  iface.RemoteHostIpAddress(options.Get("host", "127.0.0.1"));
  iface.RemotePortNumber(std::to_string(options.GetInt("port", 6000)));
}

KORTransaction ByteTransaction(const std::string& hex, int32_t timeout) {
  KORTransaction t;
  t.RespTimeout(timeout);
  t.IsCmdTypeString(false);
  t.ByteCmd(ParseHexBytes(hex));
  return t;
}

std::string TcpHint(int32_t number) {
  switch (number) {
    case err::TcpConnectFailed:
      return "nothing accepted the connection: check --host and --port, and that the unit is "
             "on the network";
    case err::EtherTerminatorNotFound:
      return "no complete response came: check --resp-term and --timeout (a unit that does not "
             "greet with its prompt fails here too)";
    case err::InvalidSocketState:
      return "the connection is gone: the unit closed it or the network dropped it";
    default:
      return "";
  }
}

void DefineTcpLinkOptions(OptionSet& o) {
  o.Text("--host,--RemoteHostIpAddress", "HOST", "the unit's address or host name", "127.0.0.1");
  o.Whole("--port,--RemotePortNumber", "PORT", 1, 64000, "the unit's TCP port", "6000");
}

void DefineTcpCommand(OptionSet& o) {
  DefineTcpLinkOptions(o);
  o.Flag("--bytes", "each COMMAND is hex bytes (\"42 00 FF\"); responses print as hex");
  DefinePlainLinkOptions(o);
  DefineLinkTimeoutOption(o);
  DefineDeadlineOption(o);
  DefineTerminatorOptions(o);
  DefineOutputOptions(o);
  DefineScriptOptions(o);
  o.Words("COMMAND",
          "commands to send, in order ('-': read them from standard input); escapes "
          "\\r \\n \\xNN");
}

int RunTcp(const Options& options) {
  TransactionTimes times = TimesFor(options);
  KORInterface iface;
  Configure(iface, options);
  bool bytes = options.Has("bytes");
  for (const auto& word : options.Positional()) {
    MakeTransaction(word, bytes, times);  // a malformed word is refused before connecting
  }
  TransactionBatch batch;
  batch.make = [bytes, times](const std::string& word) {
    return MakeTransaction(word, bytes, times);
  };
  bool raw = options.Has("raw");
  batch.show = [bytes, raw](const KORTransaction& t) { return ResponseText(t, bytes, raw); };
  batch.hint = TcpHint;
  return RunTransactions(iface, options, std::move(batch));
}

}  // namespace parley::cli
