// Events: handlers in order, connections ended from inside a raise, owners destroyed by a handler.
#include "parley/event.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "model/access.hpp"
#include "parley/progress.hpp"

namespace parley {
namespace {

using detail::EventAccess;

TEST(Event, HandlersRunInOrderAndMayEndConnectionsMidRaise) {
  Event e;
  std::vector<int> ran;
  Connection second;
  e.connect([&] {
    ran.push_back(1);
    second.disconnect();  // the later handler of this same round is skipped
  });
  second = e.connect([&] { ran.push_back(2); });
  Connection third = e.connect([&] {
    ran.push_back(3);
    third.disconnect();  // a handler may end its own connection
  });
  EventAccess::Raise(e);
  EventAccess::Raise(e);
  EXPECT_EQ(ran, (std::vector<int>{1, 3, 1}));
  EXPECT_EQ(e.handler_count(), 1u);
  EXPECT_FALSE(second.connected());
}

// A handler that destroys the object owning the event: the raise stops there and touches
// nothing of the freed object (AddressSanitizer reports any access).
TEST(Event, HandlerThatDestroysTheOwnerEndsTheRaiseSafely) {
  auto progress = std::make_unique<KORProgress>();
  int later = 0;
  progress->Update.connect([&] { progress.reset(); });
  progress->Update.connect([&] { ++later; });
  EventAccess::Raise(progress->Update);
  EXPECT_EQ(progress, nullptr);
  EXPECT_EQ(later, 0);
}

TEST(Event, ConnectionOutlivesItsEvent) {
  Connection c;
  {
    Event e;
    c = e.connect([] {});
    EXPECT_TRUE(c.connected());
  }
  EXPECT_FALSE(c.connected());
  c.disconnect();  // harmless
}

}  // namespace
}  // namespace parley
