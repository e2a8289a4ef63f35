// Each mode's checks in their order: a transaction with several faults reports the first.
#include "catalogue/validation.hpp"

#include <gtest/gtest.h>

#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

using detail::Settings;

struct Fault {
  const char* name;
  void (*apply)(Settings&, KORTransaction&);
  int32_t number;
};

// The faults in the order the given validation checks them; applying every fault from index i
// on must report fault i.
void ExpectOrder(void (*validate)(const Settings&, const KORTransaction&), Settings base,
                 const std::vector<Fault>& faults) {
  for (std::size_t first = 0; first < faults.size(); ++first) {
    Settings s = base;
    KORTransaction t;
    t.cmd("MEAS?");
    for (std::size_t i = first; i < faults.size(); ++i) faults[i].apply(s, t);
    try {
      validate(s, t);
      ADD_FAILURE() << faults[first].name << " passed";
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.Number(), faults[first].number) << "first fault: " << faults[first].name;
    }
  }
}

const Fault kPort{"port", [](Settings& s, KORTransaction&) { s.comm_port = 17; },
                  err::InvalidCommPort};
const Fault kParity{"parity", [](Settings& s, KORTransaction&) { s.parity = 0; },
                    err::InvalidParity};
const Fault kData{"databits", [](Settings& s, KORTransaction&) { s.data_bits = 6; },
                  err::InvalidDataBits};
const Fault kStop{"stopbits", [](Settings& s, KORTransaction&) { s.stop_bits = 3; },
                  err::InvalidStopBits};
const Fault kEmpty{"cmd", [](Settings&, KORTransaction& t) { t.cmd(""); }, err::InvalidCommand};
const Fault kTimeout15{"timeout", [](Settings&, KORTransaction& t) { t.RespTimeout(15); },
                       err::InvalidResponseTimeout};
const Fault kAddress{"address", [](Settings& s, KORTransaction&) { s.gpib_address = 31; },
                     err::InvalidGpibAddress};
const Fault kItc{"itc", [](Settings& s, KORTransaction&) { s.itc = 5; },
                 err::InvalidGpibTermination};

Settings InMode(int32_t mode) {
  Settings s;
  s.comm_mode = mode;
  return s;
}

TEST(ValidationTest, SerialDirectOrder) {
  ExpectOrder(
      detail::CRLFDirectValidateTrans, InMode(2),
      {{"mode", [](Settings& s, KORTransaction&) { s.comm_mode = 1; }, err::InvalidCommMode},
       kPort,
       {"rate", [](Settings& s, KORTransaction&) { s.bit_rate = 57600; }, err::InvalidBitRate},
       kParity,
       kData,
       kStop,
       kEmpty,
       kTimeout15});
}

TEST(ValidationTest, ForwardingModesOrder) {
  std::vector<Fault> faults = {
      {"mode", [](Settings& s, KORTransaction&) { s.comm_mode = 2; }, err::InvalidCommMode},
      kPort,
      {"rate", [](Settings& s, KORTransaction&) { s.bit_rate = 38400; }, err::InvalidBitRate},
      kParity,
      kData,
      kStop,
      kTimeout15,
      kAddress,
      kItc,
      kEmpty};
  ExpectOrder(detail::CRLFtoGPIBValidateTrans, InMode(1), faults);
  ExpectOrder(detail::GPIBInOutValidateTrans, InMode(4), faults);
}

TEST(ValidationTest, DirectGpibOrderIgnoresTheSerialSide) {
  Settings s = InMode(0);
  s.bit_rate = 1;
  s.itc = 99;
  ExpectOrder(detail::GPIBDirectValidateTrans, s, {kAddress, kEmpty, kTimeout15});
}

TEST(ValidationTest, RatesTimeoutsAndAddressesPerMode) {
  KORTransaction t;
  t.cmd("MEAS?");
  Settings direct = InMode(2);
  direct.bit_rate = 38400;
  EXPECT_NO_THROW(detail::CRLFDirectValidateTrans(direct, t));
  direct.bit_rate = 115200;
  EXPECT_NO_THROW(detail::CRLFDirectValidateTrans(direct, t));
  Settings fwd = InMode(1);
  fwd.bit_rate = 19200;
  EXPECT_NO_THROW(detail::CRLFtoGPIBValidateTrans(fwd, t));

  t.RespTimeout(120);
  EXPECT_NO_THROW(detail::CRLFDirectValidateTrans(InMode(2), t));
  PARLEY_EXPECT_ERROR(detail::CRLFtoGPIBValidateTrans(InMode(1), t), err::InvalidResponseTimeout);
  t.RespTimeout(480);
  EXPECT_NO_THROW(detail::GPIBInOutValidateTrans(InMode(4), t));

  Settings zero = InMode(3);
  zero.gpib_address = 0;
  EXPECT_NO_THROW(detail::GPIBDirectValidateTrans(zero, t));
  zero.comm_mode = 1;
  t.RespTimeout(10);
  PARLEY_EXPECT_ERROR(detail::CRLFtoGPIBValidateTrans(zero, t), err::InvalidGpibAddress);

  t.cmd("   ");  // blanks are a command
  EXPECT_NO_THROW(detail::CRLFDirectValidateTrans(InMode(2), t));
}

TEST(ValidationTest, EthernetChecksDependOnTheCommandShape) {
  Settings s = InMode(5);
  KORTransaction text;
  text.cmd("VER?");
  text.RespTimeout(15);  // a text command without byte command skips the timeout check
  EXPECT_NO_THROW(detail::EtherValidateTrans(s, text));

  KORTransaction bytes;
  bytes.IsCmdTypeString(false);
  bytes.RespTimeout(3);  // an empty text command passes a byte transaction at once
  EXPECT_NO_THROW(detail::EtherValidateTrans(s, bytes));

  KORTransaction empty_text;
  PARLEY_EXPECT_ERROR(detail::EtherValidateTrans(s, empty_text), err::InvalidCommand);

  KORTransaction short_bytes;
  short_bytes.cmd("x");
  short_bytes.IsCmdTypeString(false);
  PARLEY_EXPECT_ERROR(detail::EtherValidateTrans(s, short_bytes), err::InvalidCommand);

  KORTransaction both;
  both.cmd("x");
  both.ByteCmd({1, 2});
  both.RespTimeout(15);
  PARLEY_EXPECT_ERROR(detail::EtherValidateTrans(s, both), err::InvalidResponseTimeout);

  for (const char* port : {"0", "64001"}) {
    Settings p = s;
    p.remote_port_number = std::stoi(port);
    PARLEY_EXPECT_ERROR(detail::EtherValidateTrans(p, text), err::TcpPortOutOfRange);
  }
  for (int32_t port : {1, 64000}) {
    Settings p = s;
    p.remote_port_number = port;
    EXPECT_NO_THROW(detail::EtherValidateTrans(p, text));
  }
  Settings wrong = InMode(2);
  wrong.remote_port_number = 0;
  PARLEY_EXPECT_ERROR(detail::EtherValidateTrans(wrong, text), err::InvalidCommMode);
}

}  // namespace
}  // namespace parley
