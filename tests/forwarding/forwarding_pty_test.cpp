// GPIB forwarding (modes 1 and 4) end to end: a client over a real pseudo-terminal against
// parley-sim's forwarding feature and its instruments. The messages on the wire are read back
// from the trace's WRIT entries. Poll waits of one second run in real time here (a few cases);
// the timing rules themselves are covered under the virtual clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "parley/parley.hpp"
#include "serial/sim_pty_fixture.hpp"
#include "sim_process.hpp"
#include "support/run_tool.hpp"
#include "support/trace_texts.hpp"

namespace parley {
namespace {

class ForwardingPtyTest : public testing::SimPtyTest {
 protected:
  void Start(int mode, std::vector<std::string> args = {}) {
    StartSim(std::move(args), [mode](KORInterface& i) {
      i.commMode(mode);
      i.GPIBAddress(5);
    });
  }
  int32_t FailureOf(const std::string& cmd) {
    try {
      Run(cmd);
    } catch (const AutomationError& e) {
      return e.Number();
    }
    return 0;
  }

  // The commands written so far, in order, and forgotten afterwards.
  std::vector<std::string> Written() {
    std::vector<std::string> out = testing::TraceTexts(iface.DebugBuffGet(), "WRIT");
    iface.DebugBuffClear();
    return out;
  }
};

using Messages = std::vector<std::string>;

TEST_F(ForwardingPtyTest, ModeOneSendsFullHeaderFirstThenShortAndEscapesQuotes) {
  Start(korCommModeCRLFtoGPIB);
  EXPECT_EQ(Run("*IDN?"), "Parley,SimulatedMeter,5,1.0");
  EXPECT_EQ(Written(), (Messages{"/GPIB:ADDR=5,DTO=5,ITC=EOI,REN=1,SPOLL/",
                                 "/GPIB:WTIM=10,MSG=\"*IDN?\",TSND/"}));
  EXPECT_EQ(Run("SAY \"hi\""), "");
  EXPECT_EQ(Written(), (Messages{"/GPIB:SPOLL/", "/GPIB:WTIM=10,MSG=\"SAY <22>hi<22>\",TSND/"}));
  iface.closePort();
  iface.openPort();
  Run("MEAS?");
  EXPECT_EQ(Written().front(), "/GPIB:ADDR=5,DTO=5,ITC=EOI,REN=1,SPOLL/");
}

TEST_F(ForwardingPtyTest, ModeOneDrainsAStrayAnswerBeforeSending) {
  Start(korCommModeCRLFtoGPIB, {"--gpib-stray", "old"});
  EXPECT_EQ(Run("MEAS?"), "+1.234500E+00");
  // The poll message is built once, so its repetition keeps the full header.
  const std::string poll = "/GPIB:ADDR=5,DTO=5,ITC=EOI,REN=1,SPOLL/";
  EXPECT_EQ(Written(), (Messages{poll, "/GPIB:IN/", poll, "/GPIB:WTIM=10,MSG=\"MEAS?\",TSND/"}));
}

TEST_F(ForwardingPtyTest, ModeOneFailuresOfTheForwardingFeature) {
  iface.RespTerm(">");  // replaced by the poll's own terminator
  Start(korCommModeCRLFtoGPIB, {"--no-gpib"});
  EXPECT_EQ(FailureOf("*IDN?"), err::GpibForwardingUnavailable);
  EXPECT_EQ(iface.RespTerm(), "\r\n>");
  EXPECT_EQ(Written().size(), 1u);  // no wait, no second poll
}

TEST_F(ForwardingPtyTest, ModeOneBusyInstrumentAndAbsentAddress) {
  Start(korCommModeCRLFtoGPIB, {"--gpib-busy"});
  EXPECT_EQ(FailureOf("*IDN?"), err::GpibNoSerialPollResponse);
  EXPECT_EQ(Written().size(), 3u);  // three polls, nothing sent to the instrument
  iface.closePort();
  Start(korCommModeCRLFtoGPIB, {"--gpib-absent", "5"});
  EXPECT_EQ(FailureOf("*IDN?"), err::GpibDeviceTimeout);
}

TEST_F(ForwardingPtyTest, ModeFourWritesThenPollsUntilTheAnswerIsReady) {
  Start(korCommModeGPIBInOut, {"--gpib-ready-after", "2"});
  EXPECT_EQ(Run("VOLT 2.5", false), "");
  EXPECT_EQ(Written(), (Messages{"/GPIB:ADDR=5,DTO=5,ITC=EOI,REN=1,SPOLL/",
                                 "/GPIB:DTO=5,MSG=\"VOLT 2.5\",OUT/"}));
  EXPECT_EQ(Run("MEAS?"), "+2.500000E+00");
  EXPECT_EQ(Written(), (Messages{"/GPIB:SPOLL/", "/GPIB:DTO=5,MSG=\"MEAS?\",OUT/", "/GPIB:SPOLL/",
                                 "/GPIB:SPOLL/", "/GPIB:SPOLL/", "/GPIB:IN/"}));
}

TEST_F(ForwardingPtyTest, ModeFourSerialPollReadAndRemoteEnable) {
  Start(korCommModeGPIBInOut, {"--gpib-stray", "left over"});
  int16_t status = 0;
  iface.Spoll(status);
  EXPECT_EQ(status, 0x04);
  KORTransaction read;
  read.cmd("-");
  read.RespTimeout(korShort);
  iface.GetTransact(read);
  EXPECT_EQ(read.resp(), "left over");
  iface.Spoll(status);
  EXPECT_EQ(status, 0x02);
  Written();
  iface.RemoteEnable();
  EXPECT_EQ(Written(), (Messages{"/GPIB:REN/", "/GPIB:REN=0/", "/GPIB:REN=1/"}));
  EXPECT_FALSE(iface.Busy());
}

// The tool's forwarding commands, as a user runs them.
TEST(ParleyToolForwarding, ModesOneAndFourAndTheirSerialPoll) {
  sim::SimProcess unit(PARLEY_SIM_PATH, {});
  auto run = [&](const std::string& args) {
    return testing::RunTool(std::string(PARLEY_CLI_PATH) + " " + args + " --device " +
                            unit.first_line() + " --gpib-address 3")
        .output;
  };
  EXPECT_EQ(run("serial --mode 1 '*IDN?'"), "Parley,SimulatedMeter,3,1.0\n");
  EXPECT_EQ(run("serial --mode 4 --no-response 'VOLT 4'"), "");
  EXPECT_EQ(run("serial --mode 4 MEAS?"), "+4.000000E+00\n");
  EXPECT_EQ(run("spoll --mode 4"), "2 (0x02)\n");
  EXPECT_NE(run("serial --mode 1 --itc xx MEAS?").find("--itc: xx not in {eoi,cr,lf,crlf}"),
            std::string::npos);
}

}  // namespace
}  // namespace parley
