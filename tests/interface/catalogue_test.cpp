#include <gtest/gtest.h>

#include "catalogue/error_path.hpp"
#include "interface/core.hpp"
#include "model/access.hpp"
#include "model/progress_update.hpp"
#include "parley/interface.hpp"
#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

using detail::HandleError;

class CatalogueTest : public testing::VirtualHostTest {
 protected:
  CatalogueTest() { iface.DebugMonitorOn(); }
  detail::InterfaceCore& core() { return detail::CoreOf(iface); }
  enumErrorAction Handle(AutomationError& e) { return HandleError(core(), e); }

  KORInterface iface;
};

TEST_F(CatalogueTest, MessagesComeFromTheCatalogueByNumber) {
  struct Case {
    int32_t number;
    const char* message;
  };
  for (auto [number, message] : {
           Case{err::InterfaceBusy, "Interface is busy."},
           Case{err::GpibDeviceTimeout, "GPIB device did not response is timeout period."},
           Case{err::InvalidResponseTimeout, "Invalid resopnse timeout specified in transaction."},
           Case{err::GpibSrqStuck, "SQR stuck in ON position."},
           Case{err::CommBreak, "Serial COMM port error: Break Detected."},
           Case{err::CommDcb, "Unexpected error obtaining Device Control Block."},
           Case{static_cast<int32_t>(0x80047F59),
                "Encountered non-numeric value, expected numeric value."},
           Case{static_cast<int32_t>(0x80047F95), "Remote server closed the connection."},
       }) {
    AutomationError e(number, "", "raised text");
    EXPECT_EQ(Handle(e), ActionRaise);
    EXPECT_EQ(e.Description(), message);
  }
}

TEST_F(CatalogueTest, NumbersWithoutTextKeepTheirDescription) {
  for (int32_t number : {1005, static_cast<int32_t>(0x80047F7B), static_cast<int32_t>(0x80047F90),
                         static_cast<int32_t>(0x80047F96), 0x12345, 5}) {
    AutomationError e(number, "X", "kept as raised");
    EXPECT_EQ(Handle(e), ActionRaise);
    EXPECT_EQ(e.Description(), "kept as raised");
  }
}

TEST_F(CatalogueTest, TableCoversTheWholeLibraryRange) {
  for (int32_t code = 32601; code <= 32662; ++code) {
    int32_t number = static_cast<int32_t>(0x80040000u + static_cast<uint32_t>(code));
    EXPECT_FALSE(ErrorName(number).empty()) << code;
  }
  EXPECT_EQ(CatalogueMessage(1005), "");
  EXPECT_EQ(ErrorName(0x80047F79 - 0x80047F79), "");
}

TEST_F(CatalogueTest, SourceGetsThePrefixOnce) {
  AutomationError empty(err::PortNotOpen, "", "");
  Handle(empty);
  EXPECT_EQ(empty.Source(), "RediDU");
  AutomationError plain(err::PortNotOpen, "ABC", "");
  Handle(plain);
  EXPECT_EQ(plain.Source(), "RediDU.ABC");
  Handle(plain);  // a second level leaves it alone
  EXPECT_EQ(plain.Source(), "RediDU.ABC");
  AutomationError inside(err::PortNotOpen, "xRediDUy", "");
  Handle(inside);
  EXPECT_EQ(inside.Source(), "xRediDUy");
  AutomationError lower(err::PortNotOpen, "rediDU", "");
  Handle(lower);
  EXPECT_EQ(lower.Source(), "RediDU.rediDU");
}

TEST_F(CatalogueTest, EveryPassLeavesAnErrrEntryInSignedDecimal) {
  AutomationError e(err::InterfaceBusy, "", "");
  Handle(e);
  EXPECT_NE(iface.DebugBuffGet().find("\tERRR\t-2147188871, Interface is busy."),
            std::string::npos);
  AutomationError line(1001, "", "");
  Handle(line);
  EXPECT_NE(iface.DebugBuffGet().find("\tERRR\t1001, Serial COMM port error: Break Detected."),
            std::string::npos);
}

TEST_F(CatalogueTest, UndefinedErrorIsRetriedTwiceThenRaisedAndTheCountRestarts) {
  for (int round = 0; round < 2; ++round) {
    AutomationError e1(err::UndefinedError, "", "driver text");
    EXPECT_EQ(Handle(e1), ActionResume);
    EXPECT_EQ(e1.Description(), "driver text");
    AutomationError e2(err::UndefinedError, "", "driver text");
    EXPECT_EQ(Handle(e2), ActionResume);
    AutomationError e3(err::UndefinedError, "", "driver text");
    EXPECT_EQ(Handle(e3), ActionRaise);
    EXPECT_EQ(e3.Description(), "Undefined error.");
    EXPECT_EQ(core().undefined_retries, 0);
    // An outer level sharing the counter raises the exhausted error at once.
    EXPECT_EQ(Handle(e3), ActionRaise);
    EXPECT_EQ(core().undefined_retries, 0);
  }
  std::string buffer = iface.DebugBuffGet();
  std::size_t entries = 0;
  for (auto at = buffer.find("ERRR"); at != std::string::npos; at = buffer.find("ERRR", at + 1)) {
    ++entries;
  }
  EXPECT_EQ(entries, 8u);  // retries are traced too
}

TEST_F(CatalogueTest, RunStepEndsAPersistentUndefinedErrorAcrossNestedLevels) {
  int attempts = 0;
  auto inner = [&] {
    detail::RunStep(core(), [&] {
      ++attempts;
      throw AutomationError(err::UndefinedError, "driver", "");
    });
  };
  auto e = PARLEY_EXPECT_ERROR(detail::RunStep(core(), inner), err::UndefinedError);
  EXPECT_EQ(e.Description(), "Undefined error.");
  EXPECT_EQ(attempts, 3);
}

TEST_F(CatalogueTest, UserCancelAcknowledgesTheHalt) {
  auto progress = iface.Progress();
  detail::UpdateProgress(*progress, "Waiting for echo", 9, 9, true);
  progress->Halt();
  int acks = 0;
  progress->HaltAck.connect([&] { ++acks; });
  AutomationError e(err::UserCanceled, "", "");
  EXPECT_EQ(Handle(e), ActionRaise);
  EXPECT_EQ(e.Description(), "User canceled operation.");
  EXPECT_EQ(acks, 1);
  EXPECT_FALSE(detail::UpdateProgress(*progress, "Waiting for echo", 9, 8, true));
}

TEST_F(CatalogueTest, RunStepUndoesAndRaisesWithTheCataloguesText) {
  bool undone = false;
  auto e = PARLEY_EXPECT_ERROR(
      detail::RunStep(
          core(), [] { throw AutomationError(err::PortNotOpen, "", ""); }, [&] { undone = true; }),
      err::PortNotOpen);
  EXPECT_TRUE(undone);
  EXPECT_EQ(e.Description(), "Port is not open.");
  EXPECT_EQ(e.Source(), "RediDU");
  auto foreign = PARLEY_EXPECT_ERROR(
      detail::RunStep(core(), [] { throw std::runtime_error("boom"); }), err::InvalidCall);
  EXPECT_EQ(foreign.Description(), "boom");
}

}  // namespace
}  // namespace parley
