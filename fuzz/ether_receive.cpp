// Mode-5 transactions on the virtual clock against a simulated unit whose greeting and replies
// are whatever the input says: text and byte mode, any CmdTerm and RespTerm, with or without
// the echo check, replies cut anywhere, closes in the middle, data nobody asked for, up to four
// transactions on one connection.
//
// Input: a flags byte (bit 0: VerifyEcho off, bit 1: RemoveExtraChar, bit 2: a 30 s instead of
// a 10 s RespTimeout, bit 3: no greeting, bit 4: the first command in byte mode), a byte of
// chunk gap in milliseconds, the CmdTerm, RespTerm and greeting texts, a byte where the
// greeting is cut (0: whole), the first command, then pieces: a header byte and a text each.
// The header's top two bits say what the piece is: 0 reply bytes of the current attempt, cut
// from what came before; 1 the bytes that begin the reply to the next write; 2 with bit 0
// clear the unit closes the connection after this reply's bytes so far, with bit 0 set the
// bytes are sent unasked (low bits 1-5: after that many 100 ms from the transaction's start);
// 3 the command of the next transaction (bit 0: byte mode).
//
// Checked: a transaction that succeeds returns exactly what a plain reading of the chunks taken
// since its command was written (less those taken for the greeting) gives: in text mode what
// follows the exact echo (or as many bytes as the echo has) up to the first RespTerm; in byte
// mode every chunk up to the one that completes RespTerm, less RespTerm's length. So it never
// returns bytes from before its own command. One that fails raises a timeout, a connect
// failure, the socket-state error or the empty-command refusal; no transaction runs longer than
// its connect, greeting and three attempts allow.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_input.hpp"
#include "host/tcp_client.hpp"
#include "model/strip_crlf.hpp"
#include "parley/connection.hpp"
#include "parley/errors.hpp"
#include "parley/interface.hpp"
#include "support/sim_tcp_client.hpp"
#include "support/virtual_host.hpp"

namespace {

using parley::detail::Micros;
using parley::detail::SimTcpReaction;
using parley::detail::TcpClient;
using parley::fuzz::Check;

// The chunks the link took since the last write of a command, less those it had to take for
// the greeting: from the Connect event on, every chunk is compared with the greeting (RespTerm
// and a space) and never stored, until one matches.
struct Taken {
  std::string greeting;
  bool awaiting_greeting = false;
  std::vector<std::string> chunks;
};

// The simulated client, with every chunk the link takes recorded.
class RecordingClient : public TcpClient {
 public:
  RecordingClient(std::unique_ptr<TcpClient> inner, std::shared_ptr<Taken> taken)
      : inner_(std::move(inner)), taken_(std::move(taken)) {
    // The link may destroy this client from a handler: nothing is touched after the call.
    inner_->OnConnect = [this] {
      taken_->awaiting_greeting = true;
      if (auto h = OnConnect) h();
    };
    inner_->OnReadable = [this] {
      if (auto h = OnReadable) h();
    };
    inner_->OnPeerClosed = [this] {
      if (auto h = OnPeerClosed) h();
    };
    inner_->OnError = [this](int32_t number, const std::string& text) {
      if (auto h = OnError) h(number, text);
    };
  }

  void Write(std::string_view bytes) override {
    taken_->chunks.clear();
    inner_->Write(bytes);
  }
  std::size_t Available() const override { return inner_->Available(); }
  std::string TakeReceived() override {
    std::string chunk = inner_->TakeReceived();
    if (!taken_->awaiting_greeting) {
      taken_->chunks.push_back(chunk);
    } else if (chunk == taken_->greeting) {
      taken_->awaiting_greeting = false;
    }
    return chunk;
  }
  void Close() override { inner_->Close(); }
  std::size_t Unsent() const override { return inner_->Unsent(); }
  void Reset() override { inner_->Reset(); }
  // Dropped input is stale, never part of an answer: it is not recorded.
  bool DiscardReceived() override { return inner_->DiscardReceived(); }
  void RemoteHost(const std::string& host) override { inner_->RemoteHost(host); }
  void LocalPort(int32_t port) override { inner_->LocalPort(port); }
  void RemotePort(int32_t port) override { inner_->RemotePort(port); }
  int32_t State() const override { return inner_->State(); }
  void Connect() override { inner_->Connect(); }

 private:
  std::unique_ptr<TcpClient> inner_;
  std::shared_ptr<Taken> taken_;
};

struct Unasked {
  Micros delay{0};
  std::string bytes;
};
struct Exchange {
  std::string cmd;
  bool bytes = false;
  std::vector<SimTcpReaction> replies;  // one per write of the command
  std::vector<Unasked> unasked;
};

struct Options {
  bool verify_echo = true;
  bool strip = false;
  int32_t timeout = parley::korShort;
  std::string cmd_term;
  std::string resp_term;
};

SimTcpReaction Reply(Micros gap) {
  SimTcpReaction r;
  r.echo_text = "";
  r.answer.reset();
  r.chunk_gap = gap;
  return r;
}

void AddPiece(SimTcpReaction& r, const std::string& bytes) {
  if (!r.echo_text->empty()) r.cuts.push_back(r.echo_text->size());
  *r.echo_text += bytes;
}

std::vector<Exchange> ReadExchanges(parley::fuzz::FuzzInput& in, bool first_bytes, Micros gap) {
  constexpr std::size_t kMaxExchanges = 4;
  std::vector<Exchange> exchanges(1);
  exchanges[0].cmd = in.Text(256);
  exchanges[0].bytes = first_bytes;
  exchanges[0].replies.push_back(Reply(gap));
  while (!in.empty()) {
    uint8_t header = in.Byte();
    std::string bytes = in.Text();
    Exchange& current = exchanges.back();
    switch (header >> 6) {
      case 0:
        AddPiece(current.replies.back(), bytes);
        break;
      case 1:
        current.replies.push_back(Reply(gap));
        AddPiece(current.replies.back(), bytes);
        break;
      case 2:
        if (header & 1) {
          current.unasked.push_back({Micros(((header >> 1) & 0x1F) * 100'000), bytes});
        } else {
          current.replies.back().close_after = current.replies.back().echo_text->size();
        }
        break;
      case 3:
        if (exchanges.size() == kMaxExchanges) break;
        exchanges.push_back({bytes.substr(0, 256), (header & 1) != 0, {Reply(gap)}, {}});
        break;
    }
  }
  return exchanges;
}

// What the text mode must have answered, given the chunks taken since the command went out.
std::optional<std::string> ExpectedText(const Options& o, const std::string& cmd,
                                        const Taken& taken) {
  std::string all;
  for (const auto& chunk : taken.chunks) all += chunk;
  // A command that already holds CR LF goes out as it is.
  std::string echo = cmd.find("\r\n") != std::string::npos ? cmd : cmd + o.cmd_term;
  std::size_t start = echo.size();
  if (o.verify_echo) {
    std::size_t at = all.find(echo);
    if (at == std::string::npos) return std::nullopt;
    start += at;
  } else if (taken.chunks.empty() || start > all.size()) {
    return std::nullopt;
  }
  std::size_t end = all.find(o.resp_term, start);
  if (end == std::string::npos) return std::nullopt;
  std::string response = all.substr(start, end - start);
  if (o.strip) parley::detail::StripCRLF(response);
  return response;
}

// What the byte mode must have answered: the chunks up to the one in which RespTerm first
// appears, less RespTerm's length at the end (one zero byte when nothing is left).
std::optional<std::string> ExpectedBytes(const Options& o, const Taken& taken) {
  std::string all;
  for (const auto& chunk : taken.chunks) {
    all += chunk;
    if (all.find(o.resp_term) == std::string::npos) continue;
    all.resize(all.size() - o.resp_term.size());
    if (all.empty()) all.assign(1, '\0');
    return all;
  }
  return std::nullopt;
}

bool AllowedFailure(int32_t number) {
  namespace err = parley::err;
  return number == err::EtherTerminatorNotFound || number == err::TcpConnectFailed ||
         number == err::InvalidSocketState || number == err::InvalidCommand;
}

parley::KORTransaction Command(const Exchange& exchange, int32_t timeout) {
  parley::KORTransaction t;
  if (exchange.bytes) {
    t.IsCmdTypeString(false);
    // An empty byte array is refused by the record itself (error 9): the default one stays.
    if (!exchange.cmd.empty()) {
      t.ByteCmd(std::vector<uint8_t>(exchange.cmd.begin(), exchange.cmd.end()));
    }
  } else {
    t.cmd(exchange.cmd);
  }
  t.RespTimeout(timeout);
  return t;
}

void CheckResponse(const Options& o, const Exchange& exchange, const parley::KORTransaction& t,
                   const Taken& taken) {
  if (exchange.bytes) {
    std::vector<uint8_t> resp;
    t.GetByteArrResp(resp);
    auto expected = ExpectedBytes(o, taken);
    Check(expected.has_value(), "a byte response without its terminator");
    Check(std::string(resp.begin(), resp.end()) == *expected, "the byte response is not this one");
    return;
  }
  auto expected = ExpectedText(o, exchange.cmd, taken);
  Check(expected.has_value(), "a response without its echo and terminator");
  Check(t.resp() == *expected, "the response is not the answer to this command");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  parley::fuzz::FuzzInput in(data, size);
  Options o;
  uint8_t flags = in.Byte();
  o.verify_echo = (flags & 1) == 0;
  o.strip = (flags & 2) != 0;
  o.timeout = (flags & 4) ? parley::korMedium : parley::korShort;
  Micros gap(in.Byte() * 1000);
  o.cmd_term = in.Text(16);
  o.resp_term = in.Text(16);
  std::string greeting = in.Text(64);
  std::size_t greeting_cut = in.Byte();
  std::vector<Exchange> exchanges = ReadExchanges(in, (flags & 16) != 0, gap);

  auto owned = std::make_shared<parley::detail::VirtualHost>();
  parley::detail::VirtualHost& host = *owned;
  parley::detail::ScopedHost scoped(owned);
  auto unit = std::make_shared<parley::detail::SimTcpUnit>(host);
  if (flags & 8) {
    unit->greeting.reset();
  } else {
    unit->greeting = greeting;
    if (greeting_cut != 0) unit->greeting_cuts = {greeting_cut};
  }
  unit->reaction = Reply(gap);  // a write nobody scripted gets no answer
  auto taken = std::make_shared<Taken>();
  taken->greeting = o.resp_term + " ";
  host.tcp_factory = [unit, taken] {
    return std::make_unique<RecordingClient>(parley::detail::MakeSimTcpClient(unit), taken);
  };
  {
    parley::KORInterface iface;
    iface.commMode(parley::korCommModeEther);
    iface.RemoteHostIpAddress(unit->address);
    iface.CmdTerm(o.cmd_term);
    iface.RespTerm(o.resp_term);
    iface.VerifyEcho(o.verify_echo);
    iface.RemoveExtraChar(o.strip);
    iface.openPort();
    for (const Exchange& exchange : exchanges) {
      unit->next.assign(exchange.replies.begin(), exchange.replies.end());
      for (const Unasked& u : exchange.unasked) unit->Send(u.bytes, u.delay);
      parley::KORTransaction t = Command(exchange, o.timeout);
      double start = host.elapsed_seconds();
      try {
        iface.Transact(t);
        CheckResponse(o, exchange, t, *taken);
        parley::fuzz::Note("answered: " + t.resp() + " / " + t.ByteArrRespStrVal());
      } catch (const parley::AutomationError& e) {
        parley::fuzz::Note("failed: " + std::to_string(e.Number()) + " " + e.Description());
        Check(AllowedFailure(e.Number()), "an unexpected error number");
      }
      // The connect and the greeting, then three attempts, each bounded by the timeout.
      Check(host.elapsed_seconds() - start <= 5.0 * o.timeout + 1.0, "a transaction overran");
      Check(!iface.Busy(), "the interface stayed busy");
    }
    iface.closePort();
  }
  return 0;
}
