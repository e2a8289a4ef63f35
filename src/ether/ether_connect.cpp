// The TCP connection with its greeting, and the socket's event handlers.
#include <string>

#include "ether/ether_link.hpp"
#include "model/access.hpp"
#include "model/timeout.hpp"

namespace parley::detail {
namespace {
// A socket still connecting when data arrive is given this many short passes to finish.
constexpr double kPollSeconds = 0.001;
constexpr int kConnectingPasses = 500;

int32_t ClampToInt32(std::size_t n) {
  return n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(n);
}
}  // namespace

void EtherLink::AttachControls() {
  TcpClient* tcp = core_.controls ? core_.controls->tcp.get() : nullptr;
  if (!tcp) return;
  tcp->OnConnect = [this] { pwiWscClient_Connect(); };
  tcp->OnReadable = [this, tcp] { pwiWscClient_DataArrival(ClampToInt32(tcp->Available())); };
  tcp->OnError = [this](int32_t, const std::string& reason) { pwiWscClient_Error(reason); };
  tcp->OnPeerClosed = [this] { PeerClosed(); };
}

TcpClient& EtherLink::Socket() {
  TcpClient* tcp = core_.controls ? core_.controls->tcp.get() : nullptr;
  if (!tcp) {
    throw AutomationError(err::InvalidSocketState, kLibrarySource,
                          "This host offers no TCP client.");
  }
  return *tcp;
}

// The length was checked before anything was sent (a plain instrument's may be below a second).
bool EtherLink::Waited(const bool& flag, double seconds) {
  KORTimeout timeout(core_.host);
  timeout.StartAnyLength(seconds);
  // The flag and the socket's state change only in the socket's handlers, and a handler's run
  // ends the pass at once; so a pass blocks for the time left rather than waking every
  // millisecond (a thousand wake-ups a second cost a few percent of a core).
  while (!timeout.Expired() && flag && !SocketGone()) {
    WaitPass(core_.host, timeout.TimeRemaining());
  }
  return !flag;
}

// A failed or closed socket delivers nothing more, so no wait on it can end well.
bool EtherLink::SocketGone() const {
  const TcpClient* tcp = core_.controls ? core_.controls->tcp.get() : nullptr;
  if (!tcp) return true;
  int32_t state = tcp->State();
  return state != kTcpConnecting && state != kTcpConnected;
}

void EtherLink::EtherConnect(const KORTransaction& t) {
  text_.Clear();
  awaiting_connect_ = true;
  awaiting_response_ = true;
  TcpClient& tcp = Socket();
  // A resolver would stop at the NUL and connect to some other host. The catalogue gives the
  // error its message; the reason goes where a connect's reasons go.
  if (core_.settings.remote_host_ip_address.find('\0') != std::string::npos) {
    core_.LinkFailed("connect: the host name (RemoteHostIpAddress) holds a NUL byte");
    Raise(err::TcpConnectFailed);
  }
  tcp.RemoteHost(core_.settings.remote_host_ip_address);
  tcp.LocalPort(0);
  tcp.RemotePort(core_.settings.remote_port_number);
  if (tcp.State() != kTcpClosed) Raise(err::InvalidSocketState);
  peer_ = core_.settings.remote_host_ip_address + ":" +
          std::to_string(core_.settings.remote_port_number);
  // From the connect on: the greeting may come in the same loop pass as the Connect event.
  connect_waits_for_greeting_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{connect_waits_for_greeting_};
  tcp.Connect();
  double seconds = ResponseSeconds(core_.settings, t);
  if (!Waited(awaiting_connect_, seconds)) Raise(err::TcpConnectFailed);
  // A plain instrument says nothing until asked.
  if (PlainLink(core_.settings)) return;
  // The remote unit greets with its prompt; the receive path matches it.
  if (!Waited(awaiting_response_, seconds)) Raise(err::EtherTerminatorNotFound);
}

void EtherLink::pwiWscClient_Connect() {
  awaiting_greeting_ = !PlainLink(core_.settings);
  awaiting_connect_ = false;
}

void EtherLink::pwiWscClient_DataArrival(int32_t bytes_total) {
  try {
    TcpClient& tcp = Socket();
    for (int i = 0; i < kConnectingPasses && tcp.State() == kTcpConnecting; ++i) {
      WaitAtMost(core_.host, kPollSeconds);
    }
    if (tcp.State() != kTcpConnected) Raise(err::InvalidSocketState);
    std::string data = tcp.TakeReceived();
    if (string_mode_) {
      EtherReceiveText(bytes_total, data);
    } else if (EtherReceiveBytes(bytes_total, data)) {
      ++byte_chunks_;
    }
  } catch (const AutomationError& e) {
    RefuseArrival(e);
  } catch (const std::exception& e) {
    RefuseArrival(ToAutomationError(e));
  }
}

// Refused data leave a gap: the awaited response can no longer be whole, so its wait ends now
// and nothing after the gap is taken.
void EtherLink::RefuseArrival(const AutomationError& e) {
  if (awaiting_response_ && !awaiting_greeting_) {
    refused_ = true;
    awaiting_response_ = false;
  }
  ReportArrivalError(e);
}

// The error of the arrival handler is recorded in the trace, where a user looking into the
// failed attempt finds it.
void EtherLink::ReportArrivalError(const AutomationError& e) {
  std::string description = e.Description();
  if (description.empty()) description = std::string(CatalogueMessage(e.Number()));
  if (description.empty()) description = std::string(kDefaultDescription);
  description += " Invalid Socket State Error in pwiWscClient_DataArrival ";
  core_.DebugBuffWrite(kTraceError, std::to_string(err::InvalidSocketState) + ", " + description +
                                        "(source: " + e.Source() + " pwiWscClient_DataArrival)");
}

// A socket failure while idle ends the link: the port is closed and the client told. During a
// transaction the failed socket ends the attempt's wait, which reports it by its own number.
// Either way the system's reason is kept for the client.
void EtherLink::pwiWscClient_Error(const std::string& reason) {
  core_.LinkFailed((awaiting_connect_ ? "connect to " : "connection to ") + peer_ + ": " + reason);
  if (core_.busy) return;
  try {
    core_.ClosePortFromLink();
  } catch (const AutomationError&) {
    // Already recorded by the catalogue; the client still hears of the reset.
  }
  core_.RaisePortReset();
}

// The port stays open: the next transaction meets the closed socket and reports it.
void EtherLink::PeerClosed() {
  core_.LinkFailed("connection to " + peer_ + ": closed by the remote end");
}

}  // namespace parley::detail
