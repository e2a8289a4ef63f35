// The one response framer: its rules on their own, and seen through both links that frame
// with it (the serial engine and the Ethernet text mode), so that a change of a rule shows on
// both.
#include "framing/response_framer.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
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
    f.Start("AB\r\n", "\r\n>", false);
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
    std::string echo;
    for (int i = rng() % 4; i > 0; --i) echo += alphabet[rng() % alphabet.size()];
    std::string term = round % 2 ? "\r\n>" : "\n";
    bool exact = round % 4 < 2;
    auto start = [&](ResponseFramer& f) {
      if (exact) {
        f.Start(echo, term, round % 3 == 0);
      } else {
        f.StartLengthOnly(echo.size(), term, round % 3 == 0);
      }
    };
    ResponseFramer whole;
    start(whole);
    bool whole_done = whole.Append(wire);
    ResponseFramer cut;
    start(cut);
    bool cut_done = false;
    for (std::size_t pos = 0; pos < wire.size();) {
      std::size_t n = 1 + rng() % 4;
      cut_done = cut.Append(wire.substr(pos, n));
      pos += n;
    }
    ASSERT_EQ(cut_done, whole_done) << wire;
    EXPECT_EQ(cut.TakeStale(), whole.TakeStale()) << wire;
    if (whole_done) {
      EXPECT_EQ(cut.response(), whole.response()) << wire;
    }
  }
}

TEST(ResponseFramer, TerminatorSplitOneByteAtATime) {
  ResponseFramer f;
  f.Start("Q\r\n", "\r\n>", true);
  std::string wire = "Q\r\nval\r\n\r\n>";
  bool done = false;
  for (char c : wire) done = f.Append(std::string(1, c));
  EXPECT_TRUE(done);
  EXPECT_EQ(f.response(), "val");
  EXPECT_EQ(f.received(), wire);
}

// Stale bytes are dropped however the chunks are cut, also a false start of the echo.
TEST(ResponseFramer, BytesBeforeTheExactEchoAreStale) {
  const std::string stale = "old\r\n>AB\r";
  const std::string wire = stale + "AB\r\nx\r\n>";
  for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
    ResponseFramer f;
    f.Start("AB\r\n", "\r\n>", false);
    bool done = f.Append(wire.substr(0, cut));
    EXPECT_EQ(f.echo_received(), cut >= stale.size() + 4) << cut;
    std::string dropped = f.TakeStale();
    done = f.Append(wire.substr(cut)) || done;
    ASSERT_TRUE(done) << cut;
    EXPECT_EQ(dropped + f.TakeStale(), stale) << cut;
    EXPECT_EQ(f.response(), "x") << cut;
    EXPECT_EQ(f.received(), "AB\r\nx\r\n>") << cut;
  }
}

// Without the echo nothing is ever an answer, and what waits for it stays small.
TEST(ResponseFramer, AnEchoThatNeverComesCompletesNothingAndKeepsLittle) {
  ResponseFramer f;
  f.Start("VER?\r\n", "\r\n>", false, 64);
  for (int i = 0; i < 1000; ++i) EXPECT_FALSE(f.Append("VER?\n42\r\n>"));
  EXPECT_LT(f.received().size(), 6u);
  EXPECT_FALSE(f.echo_received());
}

TEST(ResponseFramer, LengthOnlyTakesAnyEchoOfTheRightLength) {
  ResponseFramer f;
  f.StartLengthOnly(6, ">", false);
  EXPECT_TRUE(f.nothing_received());
  EXPECT_FALSE(f.Append("ab>"));
  EXPECT_FALSE(f.nothing_received());
  EXPECT_FALSE(f.Append("c\r\n"));
  EXPECT_TRUE(f.Append(">"));
  EXPECT_EQ(f.response(), "");
}

TEST(ResponseFramer, RefusesAChunkThatPassesTheBound) {
  ResponseFramer f;
  f.Start("ab", ">", false, 8);
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
  // Sends `bytes` unasked after `delay`.
  void Late(const std::string& bytes, Micros delay) {
    serial_unit->Send(bytes, delay);
    tcp_unit->Send(bytes, delay);
  }
  void NextEcho(std::optional<std::string> echo_text, Micros echo_delay = Micros(2000)) {
    SimReaction r = serial_unit->reaction;
    r.echo_text = echo_text;
    r.echo_delay = echo_delay;
    serial_unit->next.push_back(r);
    SimTcpReaction t = tcp_unit->reaction;
    t.echo_text = echo_text;
    t.echo_delay = echo_delay;
    tcp_unit->next.push_back(t);
  }
  void CmdTerm(const std::string& term) {
    iface.CmdTerm(term);
    serial_unit->cmd_term = term;
    tcp_unit->cmd_term = term;
  }
  // The error an exchange ends with when the echo came but no answer (echo_came), or when the
  // echo never came (the serial link retries it first).
  int32_t TimeoutError(bool echo_came) const {
    if (GetParam() == Link::Ether) return err::EtherTerminatorNotFound;
    return echo_came ? err::ResponseTerminatorTimeout : err::NoResponseFromRemoteUnit;
  }
  void EveryEcho(const std::string& echo_text) {
    serial_unit->reaction.echo_text = echo_text;
    tcp_unit->reaction.echo_text = echo_text;
  }
  std::string Run(const std::string& cmd, int16_t resp_timeout = 30) {
    if (!iface.IsPortOpen()) iface.openPort();
    KORTransaction t;
    t.cmd(cmd);
    t.RespTimeout(resp_timeout);
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

// A late answer to a timed-out command arrives after the next command went out, before its
// echo: it is dropped and traced, never returned for the next command.
TEST_P(FramingOnBothLinks, LateAnswerToATimedOutCommandIsNeverTheNextAnswer) {
  iface.DebugMonitorOn();
  iface.DebugBuffSizeSet(64000);
  serial_unit->reaction.answer.reset();  // LIST? is echoed, its answer comes too late
  tcp_unit->reaction.answer.reset();
  PARLEY_EXPECT_ERROR(Run("LIST?", 10), TimeoutError(true));
  serial_unit->reaction.answer = tcp_unit->reaction.answer = "OK";
  Answer("VER?", "V1.2");
  NextEcho(std::nullopt, Micros(20'000));
  Late("alpha\r\nbeta\r\n>", Micros(10'000));
  EXPECT_EQ(Run("VER?"), "V1.2");
  EXPECT_NE(iface.DebugBuffGet().find("Stale data before the echo dropped: alpha\r\nbeta\r\n>"),
            std::string::npos);
}

// An echo with another terminator than the one sent is not this command's echo: the exchange
// fails with its timeout error instead of returning misframed text.
TEST_P(FramingOnBothLinks, EchoWithAnotherTerminatorFailsByTheTimeout) {
  CmdTerm("\n");
  Answer("VER?", "V1.2");
  EveryEcho("VER?\r\n");
  PARLEY_EXPECT_ERROR(Run("VER?", 10), TimeoutError(false));
}

// The length-only skip is there for units whose echo legitimately differs.
TEST_P(FramingOnBothLinks, LengthOnlyEchoServesAUnitThatEchoesInAnotherCase) {
  Answer("ver?", "V1.2");
  EveryEcho("VER?\r\n");
  PARLEY_EXPECT_ERROR(Run("ver?", 10), TimeoutError(false));
  EXPECT_TRUE(iface.VerifyEcho());
  iface.VerifyEcho(false);
  EXPECT_EQ(Run("ver?", 10), "V1.2");
}

INSTANTIATE_TEST_SUITE_P(Links, FramingOnBothLinks, ::testing::Values(Link::Serial, Link::Ether),
                         [](const auto& info) {
                           return info.param == Link::Serial ? "Serial" : "Ether";
                         });

}  // namespace
}  // namespace parley::detail
