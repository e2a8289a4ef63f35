#include "catalogue/validation.hpp"

#include <algorithm>
#include <initializer_list>

#include "model/access.hpp"

namespace parley::detail {
namespace {

bool OneOf(int32_t value, std::initializer_list<int32_t> allowed) {
  return std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}

bool InRange(int32_t value, int32_t low, int32_t high) { return value >= low && value <= high; }

void Check(bool ok, int32_t number) {
  if (!ok) throw AutomationError(number, kLibrarySource, "");
}

constexpr std::initializer_list<int32_t> kAllRates = {1200, 2400, 4800, 9600, 19200, 38400, 115200};
// The forwarding modes accept line rates up to 19200 bit/s only.
constexpr std::initializer_list<int32_t> kForwardingRates = {1200, 2400, 4800, 9600, 19200};
constexpr int32_t kHighestTcpPort = 65535;
constexpr std::initializer_list<int32_t> kAllTimeouts = {10, 30, 60, 120, 480};

void CheckSerialLine(const Settings& s, std::initializer_list<int32_t> rates) {
  Check(InRange(s.comm_port, 1, 16), err::InvalidCommPort);
  Check(OneOf(s.bit_rate, rates), err::InvalidBitRate);
  Check(OneOf(s.parity, {1, 2, 3}), err::InvalidParity);
  Check(OneOf(s.data_bits, {7, 8}), err::InvalidDataBits);
  Check(OneOf(s.stop_bits, {1, 2}), err::InvalidStopBits);
}

// A plain instrument's link takes any response timeout above zero: RespTimeoutMs, or
// RespTimeout in whole seconds. The unit's links take RespTimeout from their list only.
void CheckResponseTimeout(const Settings& s, const KORTransaction& t,
                          std::initializer_list<int32_t> timeouts) {
  if (PlainLink(s)) {
    Check(t.RespTimeoutMs() > 0 || t.RespTimeout() > 0, err::InvalidResponseTimeout);
    return;
  }
  Check(t.RespTimeoutMs() == 0, err::InvalidResponseTimeout);
  Check(OneOf(t.RespTimeout(), timeouts), err::InvalidResponseTimeout);
}

void CheckForwarded(const Settings& s, const KORTransaction& t, int32_t mode,
                    std::initializer_list<int32_t> timeouts) {
  Check(s.comm_mode == mode, err::InvalidCommMode);
  CheckSerialLine(s, kForwardingRates);
  CheckResponseTimeout(s, t, timeouts);
  Check(InRange(s.gpib_address, 1, 30), err::InvalidGpibAddress);
  Check(InRange(s.itc, 1, 4), err::InvalidGpibTermination);
  Check(!t.cmd().empty(), err::InvalidCommand);
}

}  // namespace

void CRLFDirectValidateTrans(const Settings& s, const KORTransaction& t) {
  Check(s.comm_mode == korCommModeCRLFDirect, err::InvalidCommMode);
  CheckSerialLine(s, kAllRates);
  Check(!t.cmd().empty(), err::InvalidCommand);
  CheckResponseTimeout(s, t, kAllTimeouts);
}

void CRLFtoGPIBValidateTrans(const Settings& s, const KORTransaction& t) {
  // The send-and-read message accepts timeouts up to 60 s only.
  CheckForwarded(s, t, korCommModeCRLFtoGPIB, {10, 30, 60});
}

void GPIBInOutValidateTrans(const Settings& s, const KORTransaction& t) {
  CheckForwarded(s, t, korCommModeGPIBInOut, kAllTimeouts);
}

void GPIBDirectValidateTrans(const Settings& s, const KORTransaction& t) {
  Check(InRange(s.gpib_address, 0, 30), err::InvalidGpibAddress);
  Check(!t.cmd().empty(), err::InvalidCommand);
  CheckResponseTimeout(s, t, kAllTimeouts);
}

void EtherValidateTrans(const Settings& s, const KORTransaction& t) {
  Check(s.comm_mode == korCommModeEther, err::InvalidCommMode);
  // A plain instrument listens on any port (5025 and the like); the unit within its own range.
  int32_t highest = PlainLink(s) ? kHighestTcpPort : WnskMaxRemotePortNumber;
  Check(InRange(s.remote_port_number, WnskMinRemotePortNumber, highest), err::TcpPortOutOfRange);
  if (t.cmd().empty()) {
    Check(!t.IsCmdTypeString(), err::InvalidCommand);
    return;
  }
  if (t.ByteArrLen() == 0) {
    Check(t.IsCmdTypeString(), err::InvalidCommand);
    return;
  }
  CheckResponseTimeout(s, t, kAllTimeouts);
}

}  // namespace parley::detail
