// The pure pieces of the serial link: response framing, settings texts, line-error counters.
#include <gtest/gtest.h>

#include <random>

#include "framing/response_framer.hpp"
#include "host/serial_line.hpp"
#include "model/settings.hpp"
#include "serial/serial_link.hpp"

namespace parley::detail {
namespace {

TEST(ResponseFramer, FindsTheFirstTerminatorAfterTheEchoWhereverChunksAreCut) {
  const std::string wire = "AB\r\n>x\r\n>y\r\n>";  // echo "AB\r\n" (with a stray '>') ...
  for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
    ResponseFramer f;
    f.Start(4, "\r\n>", false);
    bool done = f.Append(wire.substr(0, cut)) | f.Append(wire.substr(cut));
    ASSERT_TRUE(done) << cut;
    EXPECT_EQ(f.response(), ">x") << cut;
  }
}

// Any cutting of any received text gives what one whole chunk gives.
TEST(ResponseFramer, RandomCutsAgreeWithTheWholeText) {
  std::mt19937 rng(7);
  const std::string alphabet = "ab\r\n>";
  for (int round = 0; round < 2000; ++round) {
    std::string wire;
    for (int i = rng() % 30; i > 0; --i) wire += alphabet[rng() % alphabet.size()];
    std::size_t echo = rng() % 6;
    std::string term = round % 2 ? "\r\n>" : "\n";
    ResponseFramer whole;
    whole.Start(echo, term, round % 3 == 0);
    bool whole_done = whole.Append(wire);
    ResponseFramer cut;
    cut.Start(echo, term, round % 3 == 0);
    bool cut_done = false;
    for (std::size_t pos = 0; pos < wire.size();) {
      std::size_t n = 1 + rng() % 4;
      cut_done = cut.Append(wire.substr(pos, n));
      pos += n;
    }
    ASSERT_EQ(cut_done, whole_done) << wire;
    if (whole_done) {
      EXPECT_EQ(cut.response(), whole.response()) << wire;
    }
  }
}

TEST(ResponseFramer, TerminatorSplitOneByteAtATime) {
  ResponseFramer f;
  f.Start(3, "\r\n>", true);
  std::string wire = "Q\r\nval\r\n\r\n>";
  bool done = false;
  for (char c : wire) done = f.Append(std::string(1, c));
  EXPECT_TRUE(done);
  EXPECT_EQ(f.response(), "val");
  EXPECT_EQ(f.received(), wire);
}

TEST(ResponseFramer, NothingBeforeTheEchoHasFullyArrived) {
  ResponseFramer f;
  f.Start(6, ">", false);
  EXPECT_TRUE(f.nothing_received());
  EXPECT_FALSE(f.Append("ab>"));
  EXPECT_FALSE(f.nothing_received());
  EXPECT_FALSE(f.Append("c\r\n"));
  EXPECT_TRUE(f.Append(">"));
  EXPECT_EQ(f.response(), "");
}

TEST(SerialSettings, TextFromTheInterfaceSettings) {
  Settings s;
  EXPECT_EQ(SerialSettingsText(s), "9600,o,7,1");
  s.bit_rate = 115200;
  s.parity = korParityNone;
  s.data_bits = 8;
  s.stop_bits = 2;
  EXPECT_EQ(SerialSettingsText(s), "115200,n,8,2");
  s.parity = korParityEven;
  EXPECT_EQ(SerialSettingsText(s), "115200,e,8,2");
}

TEST(SerialSettings, ParsingAcceptsWhatTheLineCanDoOnly) {
  auto s = ParseLineSettings("19200,E,7,2");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->bit_rate, 19200);
  EXPECT_EQ(s->parity, 'e');
  EXPECT_EQ(s->data_bits, 7);
  EXPECT_EQ(s->stop_bits, 2);
  for (const char* bad :
       {"", "9600", "9600,o,7", "9600,o,7,1,1", "9601,o,7,1", "9600,x,7,1", "9600,o,9,1",
        "9600,o,7,3", "9600,oo,7,1", "-9600,o,7,1", "9600,o,7,1.5", "9600,,7,1"}) {
    EXPECT_FALSE(ParseLineSettings(bad)) << bad;
  }
}

TEST(LineErrors, EachCounterThatGrewGivesItsEvent) {
  LineCounters before;
  LineCounters after;
  EXPECT_TRUE(LineErrorEvents(before, after).empty());
  after.brk = 2;
  after.parity = 1;
  after.overrun = 1;
  EXPECT_EQ(LineErrorEvents(before, after), (std::vector<int16_t>{1001, 1006, 1009}));
  before.frame = 0xFFFFFFFF;  // wraps
  after.frame = 0;
  after.brk = 0;
  after.parity = 0;
  after.overrun = 0;
  after.buf_overrun = 3;
  EXPECT_EQ(LineErrorEvents(before, after), (std::vector<int16_t>{1004, 1008}));
}

}  // namespace
}  // namespace parley::detail
