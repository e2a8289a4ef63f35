// An exception thrown by a client's handler ends the operation that ran it and reaches the
// caller unchanged: never a success, never an error number, never a retry.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "parley/interface.hpp"
#include "parley/loop.hpp"
#include "serial/serial_fixture.hpp"
#include "support/sim_tcp_client.hpp"
#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

using detail::Micros;
using std::chrono::milliseconds;

// Expects `statement` to throw the test's own logic_error, not something made of it.
#define EXPECT_HANDLER_ERROR(statement)                                              \
  EXPECT_THROW(                                                                      \
      {                                                                              \
        try {                                                                        \
          statement;                                                                 \
        } catch (const AutomationError& e) {                                         \
          ADD_FAILURE() << "became error " << e.Number() << ": " << e.Description(); \
        }                                                                            \
      },                                                                             \
      std::logic_error)

class EtherHandlerTest : public testing::VirtualHostTest {
 protected:
  EtherHandlerTest() : unit(std::make_shared<detail::SimTcpUnit>(host())) {
    host().tcp_factory = [u = unit] { return detail::MakeSimTcpClient(u); };
    iface.commMode(korCommModeEther);
    iface.RemoteHostIpAddress(unit->address);
    iface.openPort();
    t.cmd("PING");
    unit->answers["PING"] = "PONG";
  }
  // After the failure the interface is idle and the next transaction answers normally.
  void ExpectRecovered() {
    EXPECT_FALSE(iface.Busy());
    EXPECT_FALSE(t.InComm());
    KORTransaction next;
    next.cmd("PING");
    iface.Transact(next);
    EXPECT_EQ(next.resp(), "PONG");
  }
  std::shared_ptr<detail::SimTcpUnit> unit;
  KORInterface iface;
  KORTransaction t;
};

TEST_F(EtherHandlerTest, LoopWorkThrowingWhileTheAnswerIsAwaitedEndsTransactOnce) {
  iface.Transact(t);  // connected and greeted
  unit->sends.clear();
  unit->reaction.answer_delay = Micros(50'000);
  EventLoop::ScheduleAfter(milliseconds(10), [] { throw std::logic_error("client bug"); });
  EXPECT_HANDLER_ERROR(iface.Transact(t));
  EXPECT_EQ(unit->sends.size(), 1u);  // no further attempt
  EXPECT_EQ(t.resp(), "");
  host().Advance(Micros(100'000));  // the late answer is dropped
  unit->sends.clear();
  ExpectRecovered();
  EXPECT_EQ(unit->sends.size(), 1u);
}

TEST_F(EtherHandlerTest, UpdateAndDebugMonitorHandlersThrowingEndTransact) {
  auto update = iface.Progress()->Update.connect([&] {
    if (iface.Progress()->status() == "Transmitting") throw std::logic_error("update");
  });
  EXPECT_HANDLER_ERROR(iface.Transact(t));
  EXPECT_TRUE(unit->sends.empty());  // thrown before the command went out
  update.disconnect();
  ExpectRecovered();

  iface.DebugMonitorOn();
  iface.DebugMonitorShow();
  auto monitor = iface.debugMonUpdate.connect([] { throw std::logic_error("monitor"); });
  EXPECT_HANDLER_ERROR(iface.Transact(t));
  EXPECT_EQ(unit->sends.size(), 1u);  // the WRIT entry is written just before the send
  monitor.disconnect();
  ExpectRecovered();
}

TEST_F(EtherHandlerTest, IdleHandlersThrowingLeavePollAndRunFor) {
  iface.Transact(t);
  auto reset = iface.portReset.connect([] { throw std::logic_error("reset"); });
  unit->Fail(10053, "Connection aborted", Micros(1000));
  EXPECT_HANDLER_ERROR(EventLoop::RunFor(milliseconds(100)));
  EXPECT_FALSE(iface.IsPortOpen());  // the reset's own work was done before the handler ran
  int later = 0;
  EventLoop::Post([] { throw std::logic_error("posted"); });
  EventLoop::Post([&] { ++later; });
  EXPECT_HANDLER_ERROR(EventLoop::Poll());
  EventLoop::Poll();  // the loop stays usable and runs what was left
  EXPECT_EQ(later, 1);
}

class SerialHandlerTest : public testing::SerialLinkTest {};

TEST_F(SerialHandlerTest, HaltAckAndManagerNotificationHandlersThrowingEndTransact) {
  unit->reaction.answer_delay = Micros(5'000'000);
  auto ack = progress->HaltAck.connect([] { throw std::logic_error("ack"); });
  auto halt = progress->Update.connect([&] {
    if (progress->status() == "Waiting for response" && progress->HaltEnabled()) progress->Halt();
  });
  EXPECT_HANDLER_ERROR(Run("VER?"));
  EXPECT_FALSE(iface.Busy());
  ack.disconnect();
  halt.disconnect();
  host().Advance(Micros(10'000'000));

  // The manager's reset notification raises portReset from inside the wait.
  auto reset = iface.portReset.connect([] { throw std::logic_error("reset"); });
  host().StartTimer(Micros(100'000), [&] { manager().Connection(iface.CommPort())->Reset(); });
  EXPECT_HANDLER_ERROR(Run("VER?"));
  EXPECT_FALSE(iface.Busy());
  EXPECT_LT(host().elapsed_seconds(), 11.0);  // ended at once, not by the timeout
  reset.disconnect();
  host().Advance(Micros(10'000'000));
  unit->reaction.answer_delay = Micros(5'000);
  unit->answers["VER?"] = "1.0";
  EXPECT_EQ(Run("VER?").resp(), "1.0");
}

}  // namespace
}  // namespace parley
