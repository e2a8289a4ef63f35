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
constexpr std::initializer_list<int32_t> kAllTimeouts = {10, 30, 60, 120, 480};

void CheckSerialLine(const Settings& s, std::initializer_list<int32_t> rates) {
  Check(InRange(s.comm_port, 1, 16), err::InvalidCommPort);
  Check(OneOf(s.bit_rate, rates), err::InvalidBitRate);
  Check(OneOf(s.parity, {1, 2, 3}), err::InvalidParity);
  Check(OneOf(s.data_bits, {7, 8}), err::InvalidDataBits);
  Check(OneOf(s.stop_bits, {1, 2}), err::InvalidStopBits);
}

void CheckForwarded(const Settings& s, const KORTransaction& t, int32_t mode,
                    std::initializer_list<int32_t> timeouts) {
  Check(s.comm_mode == mode, err::InvalidCommMode);
  CheckSerialLine(s, kForwardingRates);
  Check(OneOf(t.RespTimeout(), timeouts), err::InvalidResponseTimeout);
  Check(InRange(s.gpib_address, 1, 30), err::InvalidGpibAddress);
  Check(InRange(s.itc, 1, 4), err::InvalidGpibTermination);
  Check(!t.cmd().empty(), err::InvalidCommand);
}

}  // namespace

void CRLFDirectValidateTrans(const Settings& s, const KORTransaction& t) {
  Check(s.comm_mode == korCommModeCRLFDirect, err::InvalidCommMode);
  CheckSerialLine(s, kAllRates);
  Check(!t.cmd().empty(), err::InvalidCommand);
  Check(OneOf(t.RespTimeout(), kAllTimeouts), err::InvalidResponseTimeout);
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
  Check(OneOf(t.RespTimeout(), kAllTimeouts), err::InvalidResponseTimeout);
}

void EtherValidateTrans(const Settings& s, const KORTransaction& t) {
  Check(s.comm_mode == korCommModeEther, err::InvalidCommMode);
  Check(InRange(s.remote_port_number, WnskMinRemotePortNumber, WnskMaxRemotePortNumber),
        err::TcpPortOutOfRange);
  if (t.cmd().empty()) {
    Check(!t.IsCmdTypeString(), err::InvalidCommand);
    return;
  }
  if (t.ByteArrLen() == 0) {
    Check(t.IsCmdTypeString(), err::InvalidCommand);
    return;
  }
  Check(OneOf(t.RespTimeout(), kAllTimeouts), err::InvalidResponseTimeout);
}

}  // namespace parley::detail
