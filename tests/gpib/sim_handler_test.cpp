// A simulated instrument's command handler is the test's own code: it may use the bus and its
// instruments freely, also while other threads do.
#include <atomic>
#include <functional>
#include <thread>

#include "gpib/gpib_fixture.hpp"
#include "support/virtual_fixture.hpp"

namespace parley::testing {
namespace {

class SimHandlerTest : public SimulatedGpibTest {
 protected:
  // The answer to "Q?" at address 1, with `inside` run by the handler first.
  std::string AskWith(std::function<void()> inside) {
    dev_.OnCommand([inside](const std::string&) -> std::optional<std::string> {
      inside();
      return "ok";
    });
    KORInterface i;
    Open(i);
    auto t = Tx("Q?");
    i.Transact(t);
    return t.resp();
  }
};

struct MemberCase {
  const char* name;
  std::function<void(SimulatedGpibBus&, SimulatedInstrument&)> call;
};

TEST_F(SimHandlerTest, HandlerMayCallEveryMemberOfTheBusAndItsInstrument) {
  const MemberCase cases[] = {
      {"AddInstrument", [](auto& bus, auto&) { bus.AddInstrument(7); }},
      {"InjectError", [](auto& bus, auto&) { bus.InjectError("ibtrg", 1); }},
      {"ClearInjectedErrors", [](auto& bus, auto&) { bus.ClearInjectedErrors(); }},
      {"QueueRegistrationResult", [](auto& bus, auto&) { bus.QueueRegistrationResult(0); }},
      {"Calls", [](auto& bus, auto&) { (void)bus.Calls(); }},
      {"CallNames", [](auto& bus, auto&) { (void)bus.CallNames(); }},
      {"ClearCalls", [](auto& bus, auto&) { bus.ClearCalls(); }},
      {"BoardOnline", [](auto& bus, auto&) { (void)bus.BoardOnline(); }},
      {"OnlineDevices", [](auto& bus, auto&) { (void)bus.OnlineDevices(); }},
      {"RemoteEnableAsserted", [](auto& bus, auto&) { (void)bus.RemoteEnableAsserted(); }},
      {"Reply", [](auto&, auto& dev) { dev.Reply("X?", "x"); }},
      {"Busy", [](auto&, auto& dev) { dev.Busy(false); }},
      {"StatusBits", [](auto&, auto& dev) { dev.StatusBits(0x02, 0x04); }},
      {"DiscardOutput", [](auto&, auto& dev) { dev.DiscardOutput(); }},
      {"StatusByte", [](auto&, auto& dev) { (void)dev.StatusByte(); }},
      {"Received", [](auto&, auto& dev) { (void)dev.Received(); }},
      {"Unread", [](auto&, auto& dev) { (void)dev.Unread(); }},
      {"ServiceRequestEnable", [](auto&, auto& dev) { (void)dev.ServiceRequestEnable(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AskWith([&] { c.call(bus_, dev_); }), "ok");
  }
}

TEST_F(SimHandlerTest, HandlerMayReplaceItselfAndTheNextCommandGoesToTheNewOne) {
  dev_.OnCommand([this](const std::string&) -> std::optional<std::string> {
    dev_.OnCommand([](const std::string&) { return std::optional<std::string>("second"); });
    return "first";
  });
  KORInterface i;
  Open(i);
  auto t = Tx("Q?");
  i.Transact(t);
  EXPECT_EQ(t.resp(), "first");
  i.Transact(t);
  EXPECT_EQ(t.resp(), "second");
}

TEST_F(SimHandlerTest, ResponseDelaySetByTheHandlerAppliesToItsReply) {
  bool first = true;
  dev_.OnCommand([&](const std::string&) -> std::optional<std::string> {
    if (first) dev_.ResponseDelay(2.0);
    first = false;
    return "late";
  });
  KORInterface i;
  Open(i);
  auto t = Tx("Q?", true, korLong);
  i.Transact(t);
  double written = TimeOf("ibwrt");
  EXPECT_EQ(t.resp(), "late");
  EXPECT_GE(TimeOf("ibrd", 0) - written, 2.0 - 1e-6);
}

TEST_F(SimHandlerTest, InstrumentAddedByAHandlerAnswersAtOnce) {
  EXPECT_EQ(AskWith([&] { bus_.AddInstrument(5).Reply("P?", "p"); }), "ok");
  KORInterface other;
  Open(other, 5);
  auto t = Tx("P?");
  other.Transact(t);
  EXPECT_EQ(t.resp(), "p");
}

// Under ThreadSanitizer in CI: a handler using the bus races another thread doing the same.
TEST_F(SimHandlerTest, HandlerOnAnotherThreadRacesBusUse) {
  std::atomic<bool> done{false};
  auto handler = [this](const std::string& command) -> std::optional<std::string> {
    (void)bus_.Calls();
    (void)dev_.Received();
    dev_.Reply("X?", command);
    return "ok";
  };
  dev_.OnCommand(handler);
  std::string last;
  auto client = ThreadFailingOnError([&] {
    detail::ScopedHost host(std::make_unique<detail::VirtualHost>());
    KORInterface i;
    Open(i);
    auto t = Tx("Q?");
    for (int k = 0; k < 100; ++k) {
      i.Transact(t);
      last = t.resp();
    }
    i.GPIBClose();
    done = true;
  });
  for (int k = 0; !done; ++k) {
    dev_.OnCommand(handler);  // replaced while the old copy may be running
    bus_.AddInstrument(2 + k % 20).Reply("R?", "r");
    (void)dev_.Unread();
    (void)bus_.CallNames();
    if (k % 16 == 0) bus_.ClearCalls();
    std::this_thread::yield();
  }
  client.join();
  EXPECT_EQ(last, "ok");
}

}  // namespace
}  // namespace parley::testing
