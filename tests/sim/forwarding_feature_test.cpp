// The simulator's forwarding feature on its own: message parsing and instrument state.
#include <gtest/gtest.h>

#include "gpib_forwarding.hpp"

namespace parley::sim {
namespace {

std::string Text(GpibForwardingFeature& f, const std::string& message) {
  auto answer = f.Handle(message);
  return answer ? answer->text : "<not handled>";
}

TEST(ForwardingFeature, MessagesWithCommasAndQuotesInsideTheCommand) {
  GpibForwardingFeature f({});
  EXPECT_EQ(Text(f, "VER?"), "<not handled>");
  EXPECT_EQ(Text(f, "/GPIB:ADDR=7,DTO=5,ITC=LF,REN=1,WTIM=10,MSG=\"VOLT 3,5;*IDN?\",TSND/"),
            "/GPIB:TSND=Parley,SimulatedMeter,7,1.0/");
  EXPECT_EQ(Text(f, "/GPIB:WTIM=10,MSG=\"LABEL <22>a,b<22>\",TSND/"), "/GPIB:TSND=/");
  EXPECT_EQ(Text(f, "/GPIB:MSG=\"unterminated,TSND/"), "/GPIB:E001/");
  EXPECT_EQ(Text(f, "/GPIB:SPOLL"), "/GPIB:E001/");
}

TEST(ForwardingFeature, StatusFollowsTheOutputAndServiceRequestEnable) {
  ForwardingConfig config;
  config.ready_after_polls = 1;
  GpibForwardingFeature f(config);
  EXPECT_EQ(Text(f, "/GPIB:SPOLL/"), "/GPIB:SPOLL=02/");
  EXPECT_EQ(Text(f, "/GPIB:DTO=5,MSG=\"*SRE 16;MEAS?\",OUT/"), "/C/");
  EXPECT_EQ(Text(f, "/GPIB:SPOLL/"), "/GPIB:SPOLL=01/");
  EXPECT_EQ(Text(f, "/GPIB:SPOLL/"), "/GPIB:SPOLL=44/");
  EXPECT_EQ(Text(f, "/GPIB:IN/"), "/GPIB:IN=\"+1.234500E+00\"/");
  EXPECT_EQ(Text(f, "/GPIB:IN/"), "/GPIB:E008/");  // nothing left to read
  EXPECT_EQ(Text(f, "/GPIB:REN=0/"), "/C/");
  EXPECT_EQ(Text(f, "/GPIB:REN/"), "/GPIB:REN=0/");
}

TEST(ForwardingFeature, SwitchesForAnAbsentInstrumentASlowOneAndTheFeatureOff) {
  ForwardingConfig config;
  config.absent = {3};
  config.answer_time = std::chrono::seconds(11);
  GpibForwardingFeature f(config);
  EXPECT_EQ(Text(f, "/GPIB:ADDR=3,DTO=5,ITC=EOI,REN=1,SPOLL/"), "/GPIB:E008/");
  // Off the bus's addresses there is no instrument either.
  EXPECT_EQ(Text(f, "/GPIB:ADDR=31,SPOLL/"), "/GPIB:E008/");
  EXPECT_EQ(Text(f, "/GPIB:ADDR=-1,SPOLL/"), "/GPIB:E008/");
  EXPECT_EQ(Text(f, "/GPIB:ADDR=30,SPOLL/"), "/GPIB:SPOLL=02/");
  auto late = f.Handle("/GPIB:ADDR=4,DTO=5,ITC=EOI,REN=1,WTIM=10,MSG=\"MEAS?\",TSND/");
  ASSERT_TRUE(late);
  EXPECT_EQ(late->text, "/GPIB:E008/");
  EXPECT_EQ(late->delay, std::chrono::seconds(10));
  config.enabled = false;
  GpibForwardingFeature off(config);
  EXPECT_EQ(Text(off, "/GPIB:SPOLL/"), "/GPIB:E010/");
}

}  // namespace
}  // namespace parley::sim
