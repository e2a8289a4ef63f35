// The one response framer: its rules on their own, and seen through both links that frame
// with it (the serial engine and the Ethernet text mode), so that a change of a rule shows on
// both.
#include "framing/response_framer.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "parley/interface.hpp"
#include "support/sim_serial_port.hpp"
#include "support/sim_tcp_client.hpp"
#include "support/virtual_fixture.hpp"

namespace parley::detail {
namespace {

TEST(ResponseFramer, FindsTheFirstTerminatorAfterTheEchoWhereverChunksAreCut) {
  const std::string wire = "AB\r\n>x\r\n>y\r\n>";  // echo "AB\r\n" (with a stray '>') ...
  for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
    ResponseFramer f;
    f.Start(4, "\r\n>", false);
    bool first = f.Append(wire.substr(0, cut));
    bool done = f.Append(wire.substr(cut)) || first;
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

TEST(ResponseFramer, RefusesAChunkThatPassesTheBound) {
  ResponseFramer f;
  f.Start(2, ">", false, 8);
  EXPECT_FALSE(f.Append("ab1234"));
  EXPECT_THROW(f.Append("567>"), AutomationError);
  EXPECT_FALSE(f.complete());
  EXPECT_TRUE(f.Append("5>"));
  EXPECT_EQ(f.response(), "12345");
}

enum class Link { Serial, Ether };

class FramingOnBothLinks : public testing::VirtualHostTest,
                           public ::testing::WithParamInterface<Link> {
 protected:
  FramingOnBothLinks()
      : serial_unit(std::make_shared<SimRemoteUnit>(host())),
        tcp_unit(std::make_shared<SimTcpUnit>(host())) {
    host().serial_factory = [u = serial_unit] { return MakeSimSerialPort(u); };
    host().tcp_factory = [u = tcp_unit] { return MakeSimTcpClient(u); };
    if (GetParam() == Link::Ether) {
      iface.commMode(korCommModeEther);
      iface.RemoteHostIpAddress(tcp_unit->address);
    }
  }
  void Answer(const std::string& cmd, const std::string& text) {
    serial_unit->answers[cmd] = text;
    tcp_unit->answers[cmd] = text;
  }
  void RespTerm(const std::string& term) {
    iface.RespTerm(term);
    serial_unit->reaction.resp_term = term;
    tcp_unit->reaction.resp_term = term;
    tcp_unit->greeting = term + " ";
  }
  // Everything the unit sends back for one command arrives cut at `at`.
  void CutAt(std::size_t at) {
    serial_unit->reaction.chunks = {at};
    tcp_unit->reaction.cuts = {at};
  }
  std::string Run(const std::string& cmd) {
    if (!iface.IsPortOpen()) iface.openPort();
    KORTransaction t;
    t.cmd(cmd);
    iface.Transact(t);
    return t.resp();
  }

  std::shared_ptr<SimRemoteUnit> serial_unit;
  std::shared_ptr<SimTcpUnit> tcp_unit;
  KORInterface iface;
};

// The echo holds the terminator: only a framer that skips the echo finds the answer.
TEST_P(FramingOnBothLinks, EchoHoldingTheTerminatorIsSkipped) {
  RespTerm(">");
  Answer("A>B", "42");
  EXPECT_EQ(Run("A>B"), "42");
}

// The terminator split anywhere, the echo's end included: the search resumes where a
// terminator could newly end.
TEST_P(FramingOnBothLinks, AnswerCutAtEveryByteGivesTheSameResponse) {
  Answer("VER?", "V1.2");
  const std::string reply = "VER?\r\nV1.2\r\n>";
  for (std::size_t at = 1; at < reply.size(); ++at) {
    CutAt(at);
    EXPECT_EQ(Run("VER?"), "V1.2") << "cut at " << at;
    iface.closePort();
  }
}

INSTANTIATE_TEST_SUITE_P(Links, FramingOnBothLinks, ::testing::Values(Link::Serial, Link::Ether),
                         [](const auto& info) {
                           return info.param == Link::Serial ? "Serial" : "Ether";
                         });

}  // namespace
}  // namespace parley::detail
