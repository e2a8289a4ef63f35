#include "trace/debug_trace.hpp"

#include <gtest/gtest.h>

#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

using detail::DebugTrace;

class DebugTraceTest : public ::testing::Test {
 protected:
  DebugTrace trace{[] { return std::string("2026-01-01 12:00:00"); }, [this] { ++updates; }};
  int updates = 0;
};

TEST_F(DebugTraceTest, RecordsNothingWhileOffEvenWithMonitorShown) {
  trace.Show();
  trace.Write(detail::kTraceWrite, "VER?");
  EXPECT_EQ(trace.Buffer(), "");
  EXPECT_EQ(updates, 0);
}

TEST_F(DebugTraceTest, EntryIsStampTagAndTextWithTabsAndNoLineBreakOfItsOwn) {
  trace.MonitorOn();
  trace.Write(detail::kTraceWrite, "VER?");
  trace.Write(detail::kTraceRead, "VER?\r\n");
  trace.Write(detail::kTraceError, "-2147188871, Interface is busy.");
  trace.Write(7, "x");
  trace.Write(detail::kTraceBare, "bare");
  EXPECT_EQ(trace.Buffer(),
            "2026-01-01 12:00:00\tWRIT\tVER?"
            "2026-01-01 12:00:00\tREAD\tVER?\r\n"
            "2026-01-01 12:00:00\tERRR\t-2147188871, Interface is busy."
            "2026-01-01 12:00:00\tUNKN\tx"
            "bare");
  EXPECT_EQ(updates, 0);  // monitor hidden
}

TEST_F(DebugTraceTest, FullBufferDropsItsOldestCharacters) {
  ASSERT_NO_THROW(trace.SetSize(100));
  trace.MonitorOn();
  std::string old(90, 'a');
  old[0] = 'b';
  trace.Write(detail::kTraceBare, old);
  std::string entry(30, 'z');
  trace.Write(detail::kTraceBare, entry);
  EXPECT_EQ(trace.Buffer(), old.substr(20) + entry);
  EXPECT_EQ(trace.Buffer().size(), 100u);
}

TEST_F(DebugTraceTest, EntryLargerThanTheBufferKeepsItsNewestCharacters) {
  trace.SetSize(100);
  trace.MonitorOn();
  trace.Write(detail::kTraceBare, "old");
  std::string huge;
  for (int i = 0; i < 150; ++i) huge.push_back(static_cast<char>('0' + i % 10));
  trace.Write(detail::kTraceBare, huge);
  EXPECT_EQ(trace.Buffer(), huge.substr(50));
}

TEST_F(DebugTraceTest, SizeIsCheckedAndAppliedAtTheNextWrite) {
  PARLEY_EXPECT_ERROR(trace.SetSize(99), err::DebugBufferTooSmall);
  PARLEY_EXPECT_ERROR(trace.SetSize(64001), err::DebugBufferTooBig);
  EXPECT_EQ(trace.Size(), 5000);
  trace.SetSize(64000);
  trace.MonitorOn();
  trace.Write(detail::kTraceBare, std::string(300, 'x'));
  trace.SetSize(100);
  EXPECT_EQ(trace.Buffer().size(), 300u);  // not shortened now
  trace.Write(detail::kTraceBare, "y");
  EXPECT_EQ(trace.Buffer(), std::string(99, 'x') + "y");
}

// The buffer is kept in a store that runs ahead of it and is cut lazily; whatever the order of
// writes, size changes and reads, it must read exactly as the plain rule gives it: the last
// Size() characters of the old buffer followed by the entry, whenever they do not all fit.
TEST_F(DebugTraceTest, LongRunsOfWritesMatchThePlainCutRule) {
  trace.MonitorOn();
  std::string expected;
  auto apply = [&](const std::string& entry) {
    auto capacity = static_cast<std::size_t>(trace.Size());
    expected += entry;
    if (expected.size() > capacity) expected.erase(0, expected.size() - capacity);
  };
  unsigned seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
  for (int i = 0; i < 3000; ++i) {
    if (i % 700 == 0) trace.SetSize(i % 1400 == 0 ? 100 : 300);
    std::size_t length = next() % 5 == 0 ? next() % 400 : next() % 40;
    std::string text(length, static_cast<char>('a' + i % 26));
    if (!text.empty()) text[0] = '#';
    bool bare = next() % 2 == 0;
    trace.Write(bare ? detail::kTraceBare : detail::kTraceRead, text);
    apply(bare ? text : "2026-01-01 12:00:00\tREAD\t" + text);
    if (next() % 3 == 0) {
      ASSERT_EQ(trace.Buffer(), expected) << "after write " << i;
    }
  }
  EXPECT_EQ(trace.Buffer(), expected);
}

TEST_F(DebugTraceTest, ClearRaisesOneUpdateOnlyWhenRecordingAndShown) {
  trace.MonitorOn();
  trace.Show();
  trace.Write(detail::kTraceRead, "abc");
  EXPECT_EQ(updates, 1);
  trace.Clear();
  EXPECT_EQ(trace.Buffer(), "");
  EXPECT_EQ(updates, 2);
  trace.Write(detail::kTraceRead, "abc");
  trace.MonitorOff();
  trace.Clear();
  EXPECT_EQ(trace.Buffer(), "");
  EXPECT_EQ(updates, 3);
}

TEST(DebugTraceMonitor, EntriesWrittenByTheMonitorHandlerDoNotReenterIt) {
  int depth = 0;
  int max_depth = 0;
  DebugTrace* self = nullptr;
  DebugTrace trace([] { return std::string("t"); },
                   [&] {
                     max_depth = std::max(max_depth, ++depth);
                     self->Write(detail::kTraceError, "from the handler");
                     --depth;
                   });
  self = &trace;
  trace.MonitorOn();
  trace.Show();
  trace.Write(detail::kTraceRead, "data");
  trace.Write(detail::kTraceRead, "more");
  EXPECT_EQ(max_depth, 1);
  EXPECT_EQ(trace.Buffer(),
            "t\tREAD\tdatat\tERRR\tfrom the handlert\tREAD\tmoret\tERRR\tfrom the handler");
}

}  // namespace
}  // namespace parley
