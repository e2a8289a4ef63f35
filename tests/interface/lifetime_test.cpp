// Object lifetime and misuse: handlers that destroy or call back into their interface, one that
// outlives its thread's host, and calls from a thread the interface does not belong to.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "interface/core.hpp"
#include "parley/interface.hpp"
#include "support/sim_serial_port.hpp"
#include "support/sim_tcp_client.hpp"
#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

using detail::Micros;

enum class Link { Serial, Tcp };
enum class Handler { Update, HaltAck, PortReset, DebugMonUpdate };
// What the handler does once, the first time it runs.
enum class Action { Destroy, ClosePort, Transact, GpibClose, Halt, ReplaceProgress };

struct HandlerCase {
  Link link;
  Handler handler;
  Action action;
};

std::string Name(const ::testing::TestParamInfo<HandlerCase>& info) {
  const char* links[] = {"Serial", "Tcp"};
  const char* handlers[] = {"Update", "HaltAck", "PortReset", "DebugMonUpdate"};
  const char* actions[] = {"Destroy", "ClosePort", "Transact", "GpibClose", "Halt", "Replace"};
  return std::string(links[static_cast<int>(info.param.link)]) +
         handlers[static_cast<int>(info.param.handler)] +
         actions[static_cast<int>(info.param.action)];
}

// A client handler of every event that misuses the interface during an operation (or, for the
// idle TCP reset, between operations): nothing crashes, nothing stays busy, and the next
// transaction answers, or after a destruction the call ends with error 5 and the link is gone.
class HandlerMisuseTest : public testing::VirtualHostTest,
                          public ::testing::WithParamInterface<HandlerCase> {
 protected:
  HandlerMisuseTest()
      : serial_unit(std::make_shared<detail::SimRemoteUnit>(host())),
        tcp_unit(std::make_shared<detail::SimTcpUnit>(host())),
        iface(std::make_unique<KORInterface>()) {
    host().serial_factory = [u = serial_unit] { return detail::MakeSimSerialPort(u); };
    host().tcp_factory = [u = tcp_unit] { return detail::MakeSimTcpClient(u); };
    serial_unit->answers["VER?"] = "1.0";
    tcp_unit->answers["VER?"] = "1.0";
    if (GetParam().link == Link::Tcp) {
      iface->commMode(korCommModeEther);
      iface->RemoteHostIpAddress(tcp_unit->address);
    }
    iface->openPort();
    progress = iface->Progress();
  }

  std::string Transact() {
    KORTransaction t;
    t.cmd("VER?");
    t.RespTimeout(korShort);
    if (!iface->IsPortOpen()) iface->openPort();
    iface->Transact(t);
    return t.resp();
  }
  bool LinkOpen() const {
    return GetParam().link == Link::Serial ? serial_unit->port_open() : tcp_unit->connected();
  }
  void Act() {
    if (acted) return;
    acted = true;
    try {
      switch (GetParam().action) {
        case Action::Destroy:
          iface.reset();
          break;
        case Action::ClosePort:
          iface->closePort();
          break;
        case Action::Transact:
          Transact();
          break;
        case Action::GpibClose:
          iface->GPIBClose();
          break;
        case Action::Halt:
          iface->Progress()->Halt();
          break;
        case Action::ReplaceProgress:
          iface->Progress(std::make_shared<KORProgress>());  // the raising one may go now
          progress.reset();
          break;
      }
    } catch (const AutomationError& e) {
      refused = e.Number();
    }
  }
  // Arms the handler under test; true when it fires inside a call, false from the idle loop.
  bool Arm() {
    auto act = [this] { Act(); };
    switch (GetParam().handler) {
      case Handler::Update:
        progress->Update.connect(act);
        return true;
      case Handler::HaltAck:
        serial_unit->reaction.answer_delay = Micros(5'000'000);
        progress->Update.connect([this, p = progress.get()] {
          if (!acted && p->HaltEnabled()) p->Halt();
        });
        progress->HaltAck.connect(act);
        return true;
      case Handler::PortReset:
        iface->portReset.connect(act);
        if (GetParam().link == Link::Tcp) {
          tcp_unit->ResetConnection(Micros(1000));  // idle: the reset closes the port
          return false;
        }
        serial_unit->reaction.answer_delay = Micros(5'000'000);
        host().StartTimer(Micros(100'000), [this] { manager().Connection(1)->Reset(); });
        return true;
      case Handler::DebugMonUpdate:
        iface->DebugMonitorOn();
        iface->DebugMonitorShow();
        iface->debugMonUpdate.connect(act);
        return true;
    }
    return false;
  }

  std::shared_ptr<detail::SimRemoteUnit> serial_unit;
  std::shared_ptr<detail::SimTcpUnit> tcp_unit;
  std::unique_ptr<KORInterface> iface;
  std::shared_ptr<KORProgress> progress;
  bool acted = false;
  int32_t refused = 0;
};

TEST_P(HandlerMisuseTest, NothingCrashesOrStaysBusyAndTheNextCallWorks) {
  ASSERT_EQ(Transact(), "1.0");  // the link is up (connected, or the serial port taken)
  ASSERT_TRUE(LinkOpen());
  std::weak_ptr<detail::InterfaceCore> core = detail::CoreOf(*iface).weak_from_this();
  bool in_call = Arm();
  int32_t outcome = 0;
  try {
    if (in_call) {
      Transact();
    } else {
      host().Advance(Micros(10'000));  // the idle reset runs its handler from the loop
    }
  } catch (const AutomationError& e) {
    outcome = e.Number();
  }
  host().Advance(Micros(10'000'000));  // late answers and deferred work
  ASSERT_TRUE(acted);
  if (GetParam().action == Action::Destroy) {
    if (in_call) {
      EXPECT_EQ(outcome, err::InvalidCall);
    }
    EXPECT_FALSE(LinkOpen());
    EXPECT_TRUE(core.expired());
    return;
  }
  bool refusable = GetParam().action == Action::ClosePort ||
                   GetParam().action == Action::Transact || GetParam().action == Action::GpibClose;
  if (in_call && refusable) {
    EXPECT_EQ(refused, err::InterfaceBusy);
  }
  EXPECT_FALSE(iface->Busy());
  serial_unit->reaction.answer_delay = Micros(0);
  EXPECT_EQ(Transact(), "1.0");
}

std::vector<HandlerCase> AllCases() {
  std::vector<HandlerCase> cases;
  for (Link link : {Link::Serial, Link::Tcp}) {
    for (Handler h :
         {Handler::Update, Handler::HaltAck, Handler::PortReset, Handler::DebugMonUpdate}) {
      if (link == Link::Tcp && h == Handler::HaltAck) continue;  // no TCP stage is haltable
      for (Action a : {Action::Destroy, Action::ClosePort, Action::Transact, Action::GpibClose,
                       Action::Halt, Action::ReplaceProgress}) {
        cases.push_back({link, h, a});
      }
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryEvent, HandlerMisuseTest, ::testing::ValuesIn(AllCases()), Name);

// An interface that outlives the host of the thread it was made on (a static object, or one
// handed out of a finished thread) is destroyed without touching a freed loop.
TEST(InterfaceLifetime, OutlivingItsThreadsHostIsSafe) {
  std::unique_ptr<KORInterface> iface;
  std::shared_ptr<detail::SimTcpUnit> unit;
  {
    detail::ScopedHost scoped(std::make_unique<detail::VirtualHost>());
    auto& host = static_cast<detail::VirtualHost&>(scoped.host());
    unit = std::make_shared<detail::SimTcpUnit>(host);
    host.tcp_factory = [unit] { return detail::MakeSimTcpClient(unit); };
    unit->answers["VER?"] = "1.0";
    iface = std::make_unique<KORInterface>();
    iface->commMode(korCommModeEther);
    iface->RemoteHostIpAddress(unit->address);
    iface->openPort();
    KORTransaction t;
    t.cmd("VER?");
    iface->Transact(t);
    EXPECT_EQ(t.resp(), "1.0");
  }
  iface.reset();  // closes its connection on the host it still shares
  EXPECT_FALSE(unit->connected());
}

// Every member refuses a call from another thread at once, before it touches anything.
TEST(InterfaceLifetime, CallsFromAnotherThreadFailWithErrorFive) {
  detail::ScopedHost scoped(std::make_unique<detail::VirtualHost>());
  KORInterface iface;
  iface.commMode(korCommModeEther);
  std::thread other([&] {
    KORTransaction t;
    t.cmd("VER?");
    auto e = PARLEY_EXPECT_ERROR(iface.openPort(), err::InvalidCall);
    EXPECT_EQ(e.Description(),
              "Invalid procedure call or argument: a KORInterface belongs to the thread that "
              "created it and is called only there.");
    PARLEY_EXPECT_ERROR(iface.Transact(t), err::InvalidCall);
    PARLEY_EXPECT_ERROR(iface.commMode(korCommModeCRLFDirect), err::InvalidCall);
    PARLEY_EXPECT_ERROR(iface.GPIBAddress(99999), err::InvalidCall);  // checked first
    PARLEY_EXPECT_ERROR(iface.IsPortOpen(), err::InvalidCall);
    PARLEY_EXPECT_ERROR(iface.DebugBuffClear(), err::InvalidCall);
    EXPECT_FALSE(t.InComm());
  });
  other.join();
  EXPECT_EQ(iface.commMode(), korCommModeEther);
  EXPECT_FALSE(iface.IsPortOpen());
}

}  // namespace
}  // namespace parley
