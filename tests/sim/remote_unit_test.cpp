// The remote unit engine that parley-sim's fronts share: framing, echo, answers, timing.
#include "remote_unit.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace parley::sim {
namespace {

using std::chrono::milliseconds;

std::string Joined(const std::vector<Emission>& out) {
  std::string all;
  for (const auto& e : out) all += e.bytes;
  return all;
}

std::shared_ptr<UnitConfig> Config() { return std::make_shared<UnitConfig>(); }

TEST(RemoteUnit, EchoesThenAnswersAfterTheDelay) {
  auto config = Config();
  config->answer_delay = milliseconds(250);
  config->answers["MEAS?"] = "1.23";
  RemoteUnit unit(config);
  auto out = unit.Receive(milliseconds(1000), "MEAS?\r\n");
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].bytes, "MEAS?\r\n");
  EXPECT_EQ(out[0].at, milliseconds(1000));
  EXPECT_EQ(out[1].bytes, "1.23\r\n>");
  EXPECT_EQ(out[1].at, milliseconds(1250));
  EXPECT_EQ(Joined(unit.Receive(milliseconds(2000), "NOPE\r\n")), "NOPE\r\nOK\r\n>");
}

TEST(RemoteUnit, FramesCommandsSplitAnywhereAndSeveralInOneRead) {
  RemoteUnit unit(Config());
  EXPECT_TRUE(unit.Receive(milliseconds(0), "PI").empty());
  EXPECT_TRUE(unit.Receive(milliseconds(1), "NG\r").empty());
  EXPECT_EQ(Joined(unit.Receive(milliseconds(2), "\nVER?\r\nPI")),
            "PING\r\nPONG\r\n>VER?\r\nparley-sim 1.0\r\n>");
  EXPECT_EQ(Joined(unit.Receive(milliseconds(3), "NG\r\n")), "PING\r\nPONG\r\n>");
}

TEST(RemoteUnit, ACommandArrivingDuringAnAnswerWaitsForIt) {
  auto config = Config();
  config->answer_delay = milliseconds(100);
  RemoteUnit unit(config);
  unit.Receive(milliseconds(0), "A\r\n");
  auto out = unit.Receive(milliseconds(10), "B\r\n");
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].at, milliseconds(100));  // after A's answer, not at 10
  EXPECT_EQ(out[1].at, milliseconds(200));
}

TEST(RemoteUnit, FaultSwitches) {
  auto silent = Config();
  silent->silent = true;
  EXPECT_TRUE(RemoteUnit(silent).Receive(milliseconds(0), "VER?\r\n").empty());

  auto echo = Config();
  echo->echo_only = true;
  EXPECT_EQ(Joined(RemoteUnit(echo).Receive(milliseconds(0), "VER?\r\n")), "VER?\r\n");

  auto split = Config();
  split->split = 2;
  split->chunk_gap = milliseconds(30);
  auto out = RemoteUnit(split).Receive(milliseconds(0), "PING\r\n");
  EXPECT_EQ(Joined(out), "PING\r\nPONG\r\n>");
  ASSERT_EQ(out.size(), 3u + 4u);  // "PI" "NG" "\r\n" then "PO" "NG" "\r\n" ">"
  for (std::size_t i = 1; i < out.size(); ++i) EXPECT_GT(out[i].at, out[i - 1].at);

  auto cut = Config();
  cut->close_mid_answer = true;
  RemoteUnit dying(cut);
  out = dying.Receive(milliseconds(0), "PING\r\n");
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].bytes, "PON");  // half of "PONG\r\n>"
  EXPECT_TRUE(out[1].close_after);
  EXPECT_FALSE(out[0].close_after);
}

// Delays beyond any clock's reach put the answer at the far end, never before the echo.
TEST(RemoteUnit, HugeDelaysSaturate) {
  auto config = Config();
  config->answer_delay = Millis::max();
  auto out = RemoteUnit(config).Receive(milliseconds(1000), "VER?\r\n");
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].at, milliseconds(1000));
  EXPECT_EQ(out[1].at, kLatest);

  config->answer_delay = milliseconds(0);
  config->split = 3;
  config->chunk_gap = Millis::max();
  RemoteUnit split(config);
  out = split.Receive(milliseconds(5), "PING\r\n");
  ASSERT_GE(out.size(), 3u);
  EXPECT_EQ(out[0].at, milliseconds(5));
  for (std::size_t i = 1; i < out.size(); ++i) EXPECT_EQ(out[i].at, kLatest) << i;
  // The next command waits behind them and cannot wrap round to "now" either.
  EXPECT_EQ(split.Receive(milliseconds(6), "A\r\n").front().at, kLatest);
  EXPECT_EQ(Later(kLatest - milliseconds(1), milliseconds(5)), kLatest);
  EXPECT_EQ(Later(milliseconds(5), milliseconds(-7)), milliseconds(5));
}

class Forwarder : public Feature {
 public:
  std::optional<Answer> Handle(const std::string& command) override {
    if (command.rfind("/GPIB:", 0) != 0) return std::nullopt;
    Answer a;
    a.text = "/GPIB:TSND=1/";
    a.delay = delay;
    a.terminator = "\r\n";
    return a;
  }
  milliseconds delay{5};
};

TEST(RemoteUnit, FeaturesAnswerTheirCommandsBeforeTheTable) {
  auto config = Config();
  auto forwarder = std::make_shared<Forwarder>();
  config->features.push_back(forwarder);
  RemoteUnit unit(config);
  auto out = unit.Receive(milliseconds(0), "/GPIB:X/\r\n");
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].bytes, "/GPIB:TSND=1/\r\n");
  EXPECT_EQ(out[1].at, milliseconds(5));
  EXPECT_EQ(Joined(unit.Receive(milliseconds(10), "PING\r\n")), "PING\r\nPONG\r\n>");
  // A negative delay (a TSND message with a negative wait) answers at the echo, not before.
  forwarder->delay = milliseconds(-50);
  out = unit.Receive(milliseconds(100), "/GPIB:X/\r\n");
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].at, milliseconds(100));
}

// A plain instrument completed as parley-sim completes it: the table holds only the user's
// answers before CompleteConfig adds the instrument's own.
std::shared_ptr<UnitConfig> PlainConfig(const std::map<std::string, std::string>& answers = {},
                                        GivenSettings given = {}) {
  auto config = Config();
  config->plain = true;
  config->answers = answers;
  CompleteConfig(*config, given);
  return config;
}

// No echo and no prompt: the answer alone with "\n", after its delay, for "\n" and "\r\n"
// commands alike; commands stay in order behind a slow answer.
TEST(PlainInstrument, AnswersWithoutEchoAfterTheDelay) {
  auto config = PlainConfig({{"MEAS?", "+1.5E+00"}});
  config->answer_delays["MEAS?"] = milliseconds(400);
  RemoteUnit meter(config);
  auto out = meter.Receive(milliseconds(100), "*IDN?\n");
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bytes, std::string(kPlainIdentity) + "\n");
  EXPECT_EQ(out[0].at, milliseconds(100));
  out = meter.Receive(milliseconds(200), "MEAS?\r\n*IDN?\r\n");
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].bytes, "+1.5E+00\n");
  EXPECT_EQ(out[0].at, milliseconds(600));
  EXPECT_EQ(out[1].at, milliseconds(600));                          // waited for the slow answer
  EXPECT_TRUE(meter.Receive(milliseconds(700), "\r\n\n").empty());  // blank lines
  // The unit's own built-ins are no instrument's.
  EXPECT_TRUE(meter.Receive(milliseconds(800), "VER?\n").empty());
}

// An unknown query gets nothing and leaves -113 for SYST:ERR?; settings are taken silently;
// *CLS empties the queue. With an unknown answer given, every unknown command gets it.
TEST(PlainInstrument, UnknownCommandsAndTheErrorQueue) {
  RemoteUnit meter(PlainConfig());
  EXPECT_TRUE(meter.Receive(milliseconds(0), "FOO?\nVOLT 2.5\nBAR?\n").empty());
  EXPECT_EQ(Joined(meter.Receive(milliseconds(1), "SYST:ERR?\nSYST:ERR?\nSYST:ERR?\n")),
            std::string(kUndefinedHeader) + "\n" + kUndefinedHeader + "\n" + kNoError + "\n");
  meter.Receive(milliseconds(2), "FOO?\n*CLS\n");
  EXPECT_EQ(Joined(meter.Receive(milliseconds(3), "SYST:ERR?\n")), std::string(kNoError) + "\n");
  for (int i = 0; i < kErrorQueueLength + 5; ++i) meter.Receive(milliseconds(4), "FOO?\n");
  std::string all;
  for (int i = 0; i <= kErrorQueueLength; ++i)
    all = Joined(meter.Receive(milliseconds(5), "SYST:ERR?\n"));
  EXPECT_EQ(all, std::string(kNoError) + "\n");  // the queue held ten, not fifteen

  GivenSettings given;
  given.unknown = true;
  auto chatty = PlainConfig({}, given);
  chatty->unknown_answer = "ERR";
  EXPECT_EQ(Joined(RemoteUnit(chatty).Receive(milliseconds(0), "FOO?\nVOLT 1\n")), "ERR\nERR\n");
}

// The user's terminators and answers win over the instrument's defaults; the unit keeps its
// own when completed, so the default personality is unchanged.
TEST(PlainInstrument, CompletionKeepsWhatTheUserGave) {
  GivenSettings given;
  given.resp_term = true;
  auto config = Config();
  config->plain = true;
  config->answers = {{"*IDN?", "ACME,DMM,7,2.0"}};
  config->resp_term = "\r\n";
  CompleteConfig(*config, given);
  EXPECT_EQ(config->cmd_term, "\n");
  EXPECT_EQ(Joined(RemoteUnit(config).Receive(milliseconds(0), "*IDN?\n")), "ACME,DMM,7,2.0\r\n");

  auto unit = Config();
  unit->answers = {{"VER?", "mine"}};
  CompleteConfig(*unit, {});
  EXPECT_EQ(unit->cmd_term, "\r\n");
  EXPECT_EQ(unit->answers.at("PING"), "PONG");
  EXPECT_EQ(Joined(RemoteUnit(unit).Receive(milliseconds(0), "VER?\r\nNOPE\r\n")),
            "VER?\r\nmine\r\n>NOPE\r\nOK\r\n>");
}

TEST(RemoteUnitText, AnswerTables) {
  auto table = ParseAnswerTable("# comment\r\nA?=1\\r\\n2\n\nB=x=y\n");
  EXPECT_EQ(table.at("A?"), "1\r\n2");
  EXPECT_EQ(table.at("B"), "x=y");
  EXPECT_THROW(ParseAnswerTable("no equals sign"), std::invalid_argument);
  try {
    ParseAnswerTable("A=1\n\nB=\\q\n", "answers.txt");
    ADD_FAILURE() << "a bad escape was taken";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()).rfind("answers.txt:3: unknown escape \\q", 0), 0u) << e.what();
  }
}

}  // namespace
}  // namespace parley::sim
