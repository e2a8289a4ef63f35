// The Ethernet link end to end: a client's transactions over loopback TCP against parley-sim.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "host/asio_host.hpp"
#include "parley/parley.hpp"
#include "sim_process.hpp"
#include "support/run_tool.hpp"
#include "support/transactions.hpp"
#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

using testing::Bytes;
using testing::Text;

using std::chrono::milliseconds;

// A loopback port that nothing listens on (bound once, then let go).
int UnusedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

class EtherE2eTest : public ::testing::Test {
 protected:
  EtherE2eTest() : scoped(detail::MakeRealHost()) {
    iface.commMode(korCommModeEther);
    iface.DebugMonitorOn();  // the trace records
  }
  void TearDown() override {
    if (iface.IsPortOpen()) iface.closePort();
  }
  // Starts the simulator's TCP service on a free port and points the interface at it.
  void Start(std::vector<std::string> args) {
    args.insert(args.end(), {"--tcp-port", "0"});
    sim = std::make_unique<sim::SimProcess>(PARLEY_SIM_PATH, args);
    std::string port = sim->ReadLine(milliseconds(5000));
    ASSERT_FALSE(port.empty()) << "parley-sim printed no TCP port";
    Connect("127.0.0.1", port);
  }
  void Connect(const std::string& host, const std::string& port) {
    iface.RemoteHostIpAddress(host);
    iface.RemotePortNumber(port);
    iface.openPort();
  }

  detail::ScopedHost scoped;
  std::unique_ptr<sim::SimProcess> sim;
  KORInterface iface;
};

TEST_F(EtherE2eTest, TextAndBytesComeBackExactlyThroughSplitChunks) {
  // Two-byte chunks split the echo, the answer and the terminator itself.
  Start({"--split", "2", "--chunk-gap", "2", "--answer", "MEAS?=1.23\\r\\n", "--answer",
         "B\\x00\\xff=\\x01\\x02"});
  auto t = Text("MEAS?");
  iface.Transact(t);
  EXPECT_EQ(t.resp(), "1.23\r\n");
  EXPECT_EQ(iface.ReceivedStringBuffer(), "1.23\r\n");
  std::vector<uint8_t> none;
  PARLEY_EXPECT_ERROR(iface.ReceivedByteArrBuffer(none), err::BufferWrongMode);

  iface.RemoveExtraChar(true);
  auto stripped = Text("MEAS?");
  iface.Transact(stripped);
  EXPECT_EQ(stripped.resp(), "1.23");

  auto framed = Text("PING\r\n");  // already ends in CR LF: sent without another
  iface.Transact(framed);
  EXPECT_EQ(framed.resp(), "PONG");

  auto b = Bytes(std::string("B\0\xff", 3));
  iface.Transact(b);
  // Byte mode skips no echo: the echo, the answer, then the terminator cut off the end.
  std::string want("B\0\xff\r\n\x01\x02", 7);
  EXPECT_EQ(b.ByteArrRespStrVal(), want);
  std::vector<uint8_t> buffer;
  iface.ReceivedByteArrBuffer(buffer);
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), want);
  PARLEY_EXPECT_ERROR(iface.ReceivedStringBuffer(), err::BufferWrongMode);
}

// Refused and unresolvable connects fail by the socket's report, with the system's reason.
TEST_F(EtherE2eTest, NothingListeningAnUnknownNameOrNoAddressFailsToConnect) {
  std::string port = std::to_string(UnusedPort());
  struct Case {
    std::string host;
    std::string reason;
  };
  for (const Case& c :
       {Case{"127.0.0.1", "Connection refused"}, Case{"no-such-host.invalid", "Host not found"}}) {
    SCOPED_TRACE(c.host);
    Connect(c.host, port);
    auto t = Text("VER?");
    auto e = PARLEY_EXPECT_ERROR(iface.Transact(t), err::TcpConnectFailed);
    EXPECT_EQ(e.Description(), "TCP/IP connection could not be established.");
    std::string expected = "connect to " + c.host + ":" + port + ": " + c.reason;
    EXPECT_EQ(iface.LastLinkError().substr(0, expected.size()), expected) << iface.LastLinkError();
    EXPECT_NE(iface.DebugBuffGet().find(iface.LastLinkError()), std::string::npos);
    iface.closePort();
  }

  // The default address stands for no host at all, never for a service on this one.
  Connect("000.000.000.000", "6000");
  auto unset = Text("VER?", 1);
  PARLEY_EXPECT_ERROR(iface.Transact(unset), err::TcpConnectFailed);
}

TEST_F(EtherE2eTest, PeerClosingMidAnswerFailsThisAndTheNextTransaction) {
  Start({"--close-mid-answer", "--answer", "LONG?=0123456789"});
  auto t = Text("LONG?");
  auto e = PARLEY_EXPECT_ERROR(iface.Transact(t), err::EtherTerminatorNotFound);
  EXPECT_EQ(e.Description(), "Response terminator was not found in Ethernet transaction.");
  // The close ended the wait; whether it came as an orderly close or a reset is the system's.
  EXPECT_EQ(iface.LastLinkError().rfind("connection to 127.0.0.1:", 0), 0u)
      << iface.LastLinkError();
  EXPECT_NE(iface.DebugBuffGet().find(iface.LastLinkError()), std::string::npos);
  auto next = Text("VER?", 1);
  auto closed = PARLEY_EXPECT_ERROR(iface.Transact(next), err::InvalidSocketState);
  EXPECT_EQ(closed.Description(), "Invalid socket state.");
}

TEST_F(EtherE2eTest, AGreetingInTwoPiecesOrNoneIsNotAccepted) {
  for (const char* fault : {"--split-greeting", "--no-greeting"}) {
    Start({fault});
    auto t = Text("VER?", 1);
    SCOPED_TRACE(fault);
    PARLEY_EXPECT_ERROR(iface.Transact(t), err::EtherTerminatorNotFound);
    iface.closePort();
  }
}

// `parleyctl tcp` as a user runs it: text, hex bytes in and out, and a refused connection.
TEST(ParleyToolTcp, TextAndHexBytesAndARefusedConnection) {
  sim::SimProcess unit(PARLEY_SIM_PATH, {"--tcp-port", "0", "--answer", "MEAS?=1.5\\r"});
  std::string port = unit.ReadLine(milliseconds(5000));
  std::string tool = std::string(PARLEY_CLI_PATH) + " tcp --host localhost --port " + port;
  EXPECT_EQ(testing::RunTool(tool + " VER? MEAS?").output, "parley-sim 1.0\n1.5\\r\n");
  EXPECT_EQ(testing::RunTool(tool + " --bytes '50 49 4e 47' 00ff").output,
            "50 49 4E 47 0D 0A 50 4F 4E 47\n00 FF 0D 0A 4F 4B\n");
  auto bad = testing::RunTool(tool + " --bytes 4g");
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_NE(bad.output.find("not a hex digit 'g'"), std::string::npos) << bad.output;

  auto refused = testing::RunTool(std::string(PARLEY_CLI_PATH) + " tcp --port " +
                                  std::to_string(UnusedPort()) + " VER?");
  EXPECT_EQ(refused.exit_code, 4);
  EXPECT_NE(refused.output.find("error 0x80047F93: TCP/IP connection could not be established."),
            std::string::npos)
      << refused.output;
}

}  // namespace
}  // namespace parley
