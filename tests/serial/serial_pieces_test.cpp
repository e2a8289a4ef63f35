// The pure pieces of the serial link: response framing, settings texts, line-error counters.
#include <gtest/gtest.h>

#include "host/serial_line.hpp"
#include "model/settings.hpp"
#include "serial/serial_link.hpp"

namespace parley::detail {
namespace {

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

// Low latency is asked for unless the variable plainly says no; a value it does not know keeps
// the default rather than silently turning the request off.
TEST(SerialSettings, LowLatencyIsOnUnlessTurnedOff) {
  for (const char* on : {static_cast<const char*>(nullptr), "", "1", "yes", "on", "00", "of"}) {
    EXPECT_TRUE(LowLatencyWanted(on)) << (on ? on : "(unset)");
  }
  for (const char* off : {"0", "off", " OFF ", "No", "false"}) {
    EXPECT_FALSE(LowLatencyWanted(off)) << off;
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
