// What Transact and the other operations do before and around a transport.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "model/access.hpp"
#include "parley/interface.hpp"
#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

class TransactEntryTest : public testing::VirtualHostTest {
 protected:
  KORTransaction Command(const std::string& cmd) {
    KORTransaction t;
    t.cmd(cmd);
    return t;
  }
  KORInterface iface;
};

TEST_F(TransactEntryTest, ClosedPortIsRefusedWithoutTouchingState) {
  auto t = Command("VER?");
  detail::TransactionAccess::SetResp(t, "previous");
  auto e = PARLEY_EXPECT_ERROR(iface.Transact(t), err::PortNotOpen);
  EXPECT_EQ(e.Description(), "Port is not open.");
  EXPECT_EQ(e.Source(), "RediDU.Parley");
  EXPECT_FALSE(iface.Busy());
  EXPECT_FALSE(t.InComm());
  EXPECT_EQ(t.resp(), "previous");  // refused before the response is emptied
}

TEST_F(TransactEntryTest, UnknownModeFailsAfterMarkingTheRecordAndClearsEverything) {
  for (int32_t mode : {0, 6, -1}) {
    iface.commMode(mode);
    iface.openPort();
    auto t = Command("VER?");
    detail::TransactionAccess::SetResp(t, "previous");
    bool in_comm_during = false;
    iface.DebugMonitorOn();
    iface.DebugMonitorShow();
    auto link = iface.debugMonUpdate.connect([&] { in_comm_during = t.InComm() && iface.Busy(); });
    auto e = PARLEY_EXPECT_ERROR(iface.Transact(t), err::InvalidCommMode);
    EXPECT_EQ(e.Description(), "Invalid communication protocol specified in transaction.");
    EXPECT_TRUE(in_comm_during);
    EXPECT_FALSE(t.InComm());
    EXPECT_FALSE(iface.Busy());
    EXPECT_EQ(t.resp(), "");  // a failed transaction never shows the previous response
    EXPECT_TRUE(iface.IsPortOpen());
    link.disconnect();
    iface.closePort();
  }
}

TEST_F(TransactEntryTest, CallsFromHandlersWhileBusyAreRefusedAndLeaveTheRunningMarks) {
  iface.commMode(0);
  iface.openPort();
  auto running = Command("VER?");
  auto intruder = Command("RST");
  iface.DebugMonitorOn();
  iface.DebugMonitorShow();
  int refusals = 0;
  auto link = iface.debugMonUpdate.connect([&] {
    if (!iface.Busy()) return;
    for (auto call : {+[](KORInterface&i, KORTransaction&t) { i.Transact(t); },
                      +[](KORInterface&i, KORTransaction&t) { i.GetTransact(t); },
                      +[](KORInterface&i, KORTransaction&) {
                        int16_t v = 0;
                        i.Spoll(v);
                      },
                      +[](KORInterface&i, KORTransaction&) { i.closePort(); }}) {
      try {
        call(iface, intruder);
      } catch (const AutomationError& e) {
        if (e.Number() == err::InterfaceBusy) ++refusals;
      }
    }
    EXPECT_TRUE(iface.Busy());
    EXPECT_TRUE(running.InComm());
    EXPECT_FALSE(intruder.InComm());
  });
  PARLEY_EXPECT_ERROR(iface.Transact(running), err::InvalidCommMode);
  // Each refusal is traced, but the monitor is not re-entered for entries its own handler
  // caused, so the four calls run once.
  EXPECT_EQ(refusals, 4);
  EXPECT_FALSE(iface.Busy());
  EXPECT_TRUE(iface.IsPortOpen());
}

TEST_F(TransactEntryTest, ValidationFailureIsReportedWithTheCatalogueText) {
  iface.commMode(korCommModeCRLFtoGPIB);
  iface.BitRate(38400);
  iface.openPort();
  auto t = Command("");
  auto e = PARLEY_EXPECT_ERROR(iface.Transact(t), err::InvalidBitRate);
  EXPECT_EQ(e.Description(), "Invalid COMM bit rate specified in transaction.");
  EXPECT_FALSE(iface.Busy());
}

TEST_F(TransactEntryTest, SpollAndGetTransactCheckPortThenMode) {
  int16_t value = -1;
  auto t = Command("MEAS?");
  PARLEY_EXPECT_ERROR(iface.Spoll(value), err::PortNotOpen);
  PARLEY_EXPECT_ERROR(iface.GetTransact(t), err::PortNotOpen);
  iface.openPort();
  for (int32_t mode : {1, 2, 5}) {
    iface.closePort();
    iface.commMode(mode);
    iface.openPort();
    PARLEY_EXPECT_ERROR(iface.Spoll(value), err::InvalidCommMode);
    PARLEY_EXPECT_ERROR(iface.GetTransact(t), err::InvalidCommMode);
    EXPECT_FALSE(iface.Busy());
  }
  EXPECT_EQ(value, -1);
}

TEST_F(TransactEntryTest, RemoteEnableOutsideGpibModesDoesNothing) {
  for (int32_t mode : {1, 2, 5, 0}) {
    iface.commMode(mode);
    EXPECT_NO_THROW(iface.RemoteEnable());
  }
}

TEST_F(TransactEntryTest, DirectValidationCallGivesTheNumberOnly) {
  iface.DebugMonitorOn();
  auto t = Command("MEAS?");
  auto e = PARLEY_EXPECT_ERROR(iface.GPIBInOutValidateTrans(t), err::InvalidCommMode);
  EXPECT_EQ(e.Source(), "KORInterface");
  EXPECT_EQ(e.Description(), "Application-defined or object-defined error.");
  EXPECT_EQ(iface.DebugBuffGet(), "");  // no catalogue pass, no trace entry
  iface.commMode(4);
  EXPECT_NO_THROW(iface.GPIBInOutValidateTrans(t));
}

TEST_F(TransactEntryTest, DebugBufferSizeErrorsAreRaisedDirectly) {
  iface.DebugMonitorOn();
  auto e = PARLEY_EXPECT_ERROR(iface.DebugBuffSizeSet(99), err::DebugBufferTooSmall);
  EXPECT_EQ(e.Source(), "KORInterface");
  PARLEY_EXPECT_ERROR(iface.DebugBuffSizeSet(64001), err::DebugBufferTooBig);
  EXPECT_EQ(iface.DebugBuffSizeGet(), 5000);
  EXPECT_EQ(iface.DebugBuffGet(), "");
}

// One record is in one operation at a time: a handler that hands the record in flight to another
// operation is refused, and the record stays marked until its own operation ends.
TEST_F(TransactEntryTest, ARecordInFlightIsRefusedByEveryOtherOperation) {
  iface.commMode(0);  // fails in the error path, which writes the trace and so runs the handler
  iface.openPort();
  auto t = Command("VER?");
  KORInterface other;
  std::vector<int32_t> refused;
  bool still_in_comm = true;
  iface.DebugMonitorOn();
  iface.DebugMonitorShow();
  auto link = iface.debugMonUpdate.connect([&] {
    if (!refused.empty()) return;
    for (auto call : {+[](KORInterface&i, KORTransaction&r) { i.Transact(r); },
                      +[](KORInterface&i, KORTransaction&r) { i.GetTransact(r); },
                      +[](KORInterface&i, KORTransaction&r) { i.GPIBInOutValidateTrans(r); }}) {
      try {
        call(other, t);
      } catch (const AutomationError& e) {
        refused.push_back(e.Number());
      }
    }
    still_in_comm = t.InComm();
  });
  PARLEY_EXPECT_ERROR(iface.Transact(t), err::InvalidCommMode);
  EXPECT_EQ(refused, std::vector<int32_t>(3, err::InvalidCall));
  EXPECT_TRUE(still_in_comm);
  EXPECT_FALSE(t.InComm());
  link.disconnect();
}

TEST_F(TransactEntryTest, ARecordOfAnotherThreadIsRefusedBeforeAnythingIsTouched) {
  iface.openPort();
  auto t = Command("VER?");
  std::thread([&] {
    KORInterface there;
    try {
      there.Transact(t);  // the port is closed there, but the record is now that thread's
    } catch (const AutomationError&) {
    }
  }).join();
  auto e = PARLEY_EXPECT_ERROR(iface.Transact(t), err::InvalidCall);
  EXPECT_EQ(e.Source(), "KORTransaction");
  EXPECT_FALSE(iface.Busy());
}

}  // namespace
}  // namespace parley
