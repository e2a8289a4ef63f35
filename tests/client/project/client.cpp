// Checks the library from outside, through its installed headers only, as a client would.
#include <functional>
#include <iostream>
#include <parley/parley.hpp>
#include <string>

namespace {

int failures = 0;

void Check(bool ok, const std::string& what) {
  if (!ok) {
    ++failures;
    std::cerr << "FAILED: " << what << "\n";
  }
}

// Runs `call` and checks that it raises `number`; returns the error.
parley::AutomationError Expect(int32_t number, const std::function<void()>& call,
                               const std::string& what) {
  try {
    call();
  } catch (const parley::AutomationError& e) {
    Check(e.Number() == number, what + ": number " + std::to_string(e.Number()));
    return e;
  }
  Check(false, what + ": nothing raised");
  return parley::AutomationError(0, "", "");
}

void DefaultsAndGuards() {
  parley::KORInterface i;
  Check(i.commMode() == parley::korCommModeCRLFDirect && i.BitRate() == 9600 &&
            i.Parity() == parley::korParityOdd && i.DataBits() == 7 && i.StopBits() == 1 &&
            i.GPIBAddress() == 1 && i.DTO() == 5 && i.RespTerm() == "\r\n>" &&
            i.RemotePortNumber() == "6000" && !i.Busy() && !i.IsPortOpen(),
        "defaults");
  i.openPort();
  i.BitRate(19200);
  Check(i.BitRate() == 9600, "BitRate ignored while open");
  i.closePort();
  i.BitRate(19200);
  Check(i.BitRate() == 19200, "BitRate stored while closed");
  i.GPIBDirectMaxRespLength(20001);
  Check(i.GPIBDirectMaxRespLength() == 256, "GPIBDirectMaxRespLength range");
  Expect(
      parley::err::TcpPortOutOfRange, [&] { i.RemotePortNumber("abc"); }, "port text");
  Check(i.RemotePortNumber() == "6000", "port kept");
  Expect(
      parley::err::Overflow, [&] { i.GPIBAddress(70000); }, "GPIBAddress overflow");
}

void TraceBuffer() {
  parley::KORInterface i;
  i.DebugBuffSizeSet(100);
  Expect(
      parley::err::DebugBufferTooSmall, [&] { i.DebugBuffSizeSet(99); }, "size 99");
  Check(i.DebugBuffSizeGet() == 100, "size kept");
  i.DebugMonitorOn();
  i.DebugMonitorShow();
  int updates = 0;
  i.debugMonUpdate.connect([&] { ++updates; });
  i.openPort();
  parley::KORTransaction t;
  for (int n = 0; n < 5; ++n) {
    try {
      i.Transact(t);  // empty command: a validation error, traced as ERRR
    } catch (const parley::AutomationError&) {
    }
  }
  std::string buffer = i.DebugBuffGet();
  Check(buffer.size() <= 100, "buffer within capacity");
  Check(buffer.find("Invalid command specified in transaction.") != std::string::npos,
        "ERRR text in the trace: " + buffer);
  Check(updates == 5, "one debugMonUpdate per entry");
  i.DebugBuffClear();
  Check(i.DebugBuffGet().empty() && updates == 6, "clear");
}

void CatalogueAndEntry() {
  parley::KORInterface i;
  parley::KORTransaction t;
  t.cmd("VER?");
  auto e = Expect(
      parley::err::PortNotOpen, [&] { i.Transact(t); }, "not open");
  Check(e.Description() == "Port is not open." && e.Source().rfind("RediDU", 0) == 0,
        "message and source: " + e.Source());
  Check(!i.Busy() && !t.InComm(), "entry refusal leaves no marks");

  i.commMode(7);
  i.openPort();
  e = Expect(
      parley::err::InvalidCommMode, [&] { i.Transact(t); }, "mode 7");
  Check(std::string(e.what()) == "Invalid communication protocol specified in transaction.",
        "mode text");
  i.closePort();

  // Validation order: mode 1 reports the bit rate before the empty command and the timeout.
  i.commMode(parley::korCommModeCRLFtoGPIB);
  i.BitRate(38400);
  i.openPort();
  parley::KORTransaction bad;
  bad.RespTimeout(15);
  e = Expect(
      parley::err::InvalidBitRate, [&] { i.Transact(bad); }, "mode 1 order");
  Check(e.Description() == "Invalid COMM bit rate specified in transaction.", "rate text");
  i.closePort();
  i.BitRate(9600);
  i.openPort();
  Expect(
      parley::err::InvalidResponseTimeout, [&] { i.Transact(bad); }, "mode 1 timeout next");
  i.closePort();

  i.commMode(parley::korCommModeGPIBDirect);
  i.GPIBAddress(31);
  i.openPort();
  Expect(
      parley::err::InvalidGpibAddress, [&] { i.Transact(bad); }, "mode 3 address first");
  i.closePort();

  i.commMode(parley::korCommModeEther);
  i.RemotePortNumber("0");
  i.openPort();
  Expect(
      parley::err::TcpPortOutOfRange, [&] { i.Transact(t); }, "mode 5 port");
  i.closePort();

  Check(parley::CatalogueMessage(parley::err::GpibDeviceTimeout) ==
            "GPIB device did not response is timeout period.",
        "catalogue text");
}

}  // namespace

int main() {
  DefaultsAndGuards();
  TraceBuffer();
  CatalogueAndEntry();
  std::cout << (failures == 0 ? "client checks passed\n" : "client checks FAILED\n");
  return failures == 0 ? 0 : 1;
}
