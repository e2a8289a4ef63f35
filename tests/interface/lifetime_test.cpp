// Object lifetime: an interface destroyed by its own handlers, one that outlives its thread's
// host, and calls from a thread the interface does not belong to.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

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

struct DestroyCase {
  Link link;
  Handler handler;
};

std::string Name(const ::testing::TestParamInfo<DestroyCase>& info) {
  const char* link = info.param.link == Link::Serial ? "Serial" : "Tcp";
  const char* names[] = {"Update", "HaltAck", "PortReset", "DebugMonUpdate"};
  return std::string(link) + names[static_cast<int>(info.param.handler)];
}

class DestroyFromHandlerTest : public testing::VirtualHostTest,
                               public ::testing::WithParamInterface<DestroyCase> {
 protected:
  DestroyFromHandlerTest()
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

  void Transact() {
    KORTransaction t;
    t.cmd("VER?");
    t.RespTimeout(korShort);
    iface->Transact(t);
  }
  bool LinkOpen() const {
    return GetParam().link == Link::Serial ? serial_unit->port_open() : tcp_unit->connected();
  }
  // Arms the handler under test to destroy the interface; `during` says whether it fires
  // inside a call (true) or from the idle loop.
  bool Arm() {
    auto destroy = [this] { iface.reset(); };
    switch (GetParam().handler) {
      case Handler::Update:
        progress->Update.connect(destroy);
        return true;
      case Handler::HaltAck:
        serial_unit->reaction.answer_delay = Micros(5'000'000);
        progress->Update.connect([this] {
          if (progress->HaltEnabled()) progress->Halt();
        });
        progress->HaltAck.connect(destroy);
        return true;
      case Handler::PortReset:
        iface->portReset.connect(destroy);
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
        iface->debugMonUpdate.connect(destroy);
        return true;
    }
    return false;
  }

  std::shared_ptr<detail::SimRemoteUnit> serial_unit;
  std::shared_ptr<detail::SimTcpUnit> tcp_unit;
  std::unique_ptr<KORInterface> iface;
  std::shared_ptr<KORProgress> progress;  // held here: it outlives the interface
};

TEST_P(DestroyFromHandlerTest, TheCallEndsWithErrorFiveAndTheLinkIsReleased) {
  Transact();  // the link is up (connected, or the serial port taken)
  ASSERT_TRUE(LinkOpen());
  std::weak_ptr<detail::InterfaceCore> core = detail::CoreOf(*iface).weak_from_this();
  if (Arm()) {
    auto e = PARLEY_EXPECT_ERROR(Transact(), err::InvalidCall);
    EXPECT_EQ(e.Source(), "KORInterface");
    EXPECT_EQ(e.Description(),
              "Invalid procedure call or argument: the KORInterface was destroyed during the "
              "call.");
  } else {
    host().Advance(Micros(10'000));  // the idle reset runs its handler from the loop
  }
  EXPECT_EQ(iface, nullptr);
  host().Advance(Micros(10'000));  // deferred work of the destroyed object
  EXPECT_FALSE(LinkOpen());
  EXPECT_TRUE(core.expired());
}

INSTANTIATE_TEST_SUITE_P(
    EveryEvent, DestroyFromHandlerTest,
    ::testing::Values(DestroyCase{Link::Serial, Handler::Update},
                      DestroyCase{Link::Serial, Handler::HaltAck},
                      DestroyCase{Link::Serial, Handler::PortReset},
                      DestroyCase{Link::Serial, Handler::DebugMonUpdate},
                      DestroyCase{Link::Tcp, Handler::Update},  // TCP stages are not haltable
                      DestroyCase{Link::Tcp, Handler::PortReset},
                      DestroyCase{Link::Tcp, Handler::DebugMonUpdate}),
    Name);

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
