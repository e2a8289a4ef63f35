// parleyctl query / write / read ADDRESS and list: an instrument named by one address string.
// The link comes from the address; line settings and terminators from the usual options.
#include <unistd.h>

#include <iostream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "cli.hpp"
#include "links.hpp"
#include "progress.hpp"
#include "serial_cmd.hpp"
#include "trace_out.hpp"

namespace parley::cli {
namespace {

std::string AddressProblem(const std::string& text) {
  try {
    ParseAddress(text);
    return "";
  } catch (const AutomationError& e) {
    return e.Description();
  }
}

// The address from --address (or a profile's address key), else the first word, which is then
// no command (read's --address is the GPIB number: there only the word counts). A malformed
// address is a usage mistake.
Address TakeAddress(Options& o, bool option_names_it = true) {
  std::string text;
  if (option_names_it && o.Has("address")) {
    text = o.Get("address");
  } else if (!o.Positional().empty()) {
    text = o.Positional().front();
    o.DropFirstPositional();
  } else {
    throw std::invalid_argument(
        "give the instrument's ADDRESS (or --address, or a profile's address)");
  }
  std::string problem = AddressProblem(text);
  if (!problem.empty()) throw std::invalid_argument(problem);
  return ParseAddress(text);
}

// From a shell a missing device is more likely a typing mistake than one about to appear.
void RefuseMissingDevice(const Address& a) {
  if (a.mode == korCommModeGPIBDirect || a.mode == korCommModeEther) return;
  std::string device = a.device_path.empty() ? SerialDevicePath(a.comm_port) : a.device_path;
  if (access(device.c_str(), F_OK) != 0) {
    throw LinkMissing(device + ": no such device (unplugged, or a typing mistake?)");
  }
}

void SetUp(KORInterface& iface, const Options& o, const Address& a) {
  if (a.mode == korCommModeGPIBDirect) {
    Options gpib = o;  // the driver's simulated instrument sits at the address's number
    gpib.Set("address", std::to_string(a.gpib_address));
    SetUpDirectGpib(gpib, iface);
  }
  ApplyLineSettings(iface, o);
  if (a.mode == korCommModeCRLFtoGPIB || a.mode == korCommModeGPIBInOut) {
    ApplyForwardingSettings(iface, o);
  }
  ApplyAddress(iface, a);
  ApplyTerminators(iface, o);  // after the address, whose plain instrument defaults to "\n"
  RefuseMissingDevice(a);
}

// The link's own reason first (a name that does not resolve, a refused connection), then what
// to check; the address stands in for the options the other commands' hints name.
std::string Hint(const KORInterface& iface, int32_t number) {
  std::string hint = SerialHint(number);
  if (number == err::TcpConnectFailed) {
    hint = "check the address's host and port, and that the instrument is on the network";
  }
  if (hint.empty()) hint = GpibHint(number);
  std::string why = iface.LastLinkError();
  if (why.empty()) return hint;
  return hint.empty() ? why : why + "\nhint: " + hint;
}

int RunExchanges(const Options& given, bool expect) {
  Options o = given;
  Address a = TakeAddress(o);
  if (o.Positional().empty() && !o.Has("script")) {
    throw std::invalid_argument("give at least one command to send after the address");
  }
  KORInterface iface;
  SetUp(iface, o, a);
  auto timeout = static_cast<int32_t>(o.GetInt("timeout", korShort));
  TransactionBatch batch;
  batch.make = [timeout, expect](const std::string& command) {
    return TextTransaction(command, timeout, expect);
  };
  bool raw = o.Has("raw");
  batch.show = [raw](const KORTransaction& t) { return raw ? t.resp() : Visible(t.resp()); };
  batch.hint = [&iface](int32_t number) { return Hint(iface, number); };
  return RunTransactions(iface, o, std::move(batch));
}

int RunList(const Options& o) {
  if (o.Has("driver")) {
    KORInterface unused;  // the driver choice comes with an interface's set-up
    SetUpDirectGpib(o, unused);
  }
  auto addresses = ListResources();
  if (o.Has("json")) {
    std::cout << nlohmann::json(addresses).dump() << "\n";
  } else {
    for (const auto& a : addresses) std::cout << a << "\n";
  }
  return kExitOk;
}

void DefineAddressOptions(OptionSet& o) {
  o.Checked("--address", "ADDRESS",
            "the instrument, instead of the first word: ASRL/dev/ttyUSB0::INSTR, "
            "TCPIP::HOST::PORT::SOCKET, GPIB::N::INSTR, UNIT::ASRL1::INSTR, ...",
            AddressProblem);
  DefineLineOptions(o);
  DefineTimeoutOption(o);
  DefineTerminatorOptions(o);
  DefineForwardingOptions(o, false);
  DefineGpibDriverOptions(o);
  DefineOutputOptions(o);
}

}  // namespace

// `read ADDRESS`: the GPIB read of the read command, on the address's link.
int RunReadAddress(const Options& given) {
  Options o = given;
  Address a = TakeAddress(o, false);
  if (!o.Positional().empty()) throw std::invalid_argument("read takes no command, only ADDRESS");
  KORInterface iface;
  SetUp(iface, o, a);
  TraceOutput trace(iface, o);
  int status = kExitOk;
  try {
    iface.openPort();
    int16_t status_byte = 0;
    if (a.mode == korCommModeGPIBDirect) {
      iface.SkipIBClr(true);  // a device clear would throw away the response to be read
      iface.Spoll(status_byte);
    }
    KORTransaction t;
    t.cmd("(read)");  // validated though never sent
    t.RespTimeout(static_cast<int32_t>(o.GetInt("timeout", korShort)));
    iface.GetTransact(t);
    std::cout << Visible(t.resp()) << "\n";
  } catch (const AutomationError& e) {
    PrintError(std::cerr, e);
    if (auto hint = Hint(iface, e.Number()); !hint.empty()) std::cerr << "hint: " << hint << "\n";
    status = ExitCodeFor(e.Number());
  }
  trace.Finish(std::cerr);
  return status;
}

std::vector<Command> AddressCommands() {
  auto exchange = [](OptionSet& o) {
    DefineAddressOptions(o);
    o.Words("ADDRESS COMMAND", "the instrument's address, then the commands to send in order");
  };
  return {
      {"query", "sends each command to the instrument at ADDRESS and prints its response", exchange,
       [](const Options& o) { return RunExchanges(o, true); }},
      {"write", "sends each command to the instrument at ADDRESS, expecting no response", exchange,
       [](const Options& o) { return RunExchanges(o, false); }},
      {"list",
       "lists the addresses that can be opened: serial devices and the GPIB board's listeners",
       [](OptionSet& o) {
         o.Flag("--json", "print one JSON array of the addresses");
         o.Text("--driver", "sim|system|PATH", "GPIB driver asked for the listeners", "system");
       },
       RunList},
  };
}

}  // namespace parley::cli
