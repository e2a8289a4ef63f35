// Mode 3 against a driver whose counts, status and timing cannot be trusted.
#include "gpib/hostile_driver.hpp"

#include "gpib/gpib_fixture.hpp"

namespace parley::testing {
namespace {

class HostileDriverTest : public SimulatedGpibTest {
 protected:
  HostileDriverTest() : driver_(std::make_shared<HostileGpibDriver>(bus_)) {
    detail::SelectGpibDriver(driver_);
  }
  std::shared_ptr<HostileGpibDriver> driver_;
};

TEST_F(HostileDriverTest, ImpossibleReadCountsAreDriverErrorsNotResponses) {
  KORInterface i;
  Open(i);
  auto t = Tx("MEAS?");
  i.Transact(t);
  for (int32_t count : {300, 257, -1, 40000}) {
    driver_->read_count = count;
    int before = driver_->reads;
    auto e = ErrorOf([&] { i.Transact(t); });
    EXPECT_EQ(e.Number(), err::GpibDosError) << count;
    EXPECT_EQ(e.Description(), "DOS error.") << count;
    EXPECT_EQ(driver_->reads - before, 1) << "not retried: " << count;
    EXPECT_EQ(t.resp(), "") << count;
    auto read = Tx("X");
    dev_.QueueReply("x");
    EXPECT_EQ(ErrorOf([&] { i.GetTransact(read); }).Number(), err::GpibDosError) << count;
    EXPECT_FALSE(i.Busy());
  }
}

TEST_F(HostileDriverTest, ACountBeyondTheBytesDeliveredNeverShowsAnEarlierRead) {
  KORInterface i;
  Open(i);
  auto t = Tx("MEAS?");
  i.Transact(t);  // opens the device (its clear would drop a queued reply)
  dev_.QueueReply("STRAYSTRAYSTRAYSTRAY");
  driver_->honest_reads = driver_->reads + 1;  // the stray drain reads truthfully
  driver_->read_bytes = "1.5";
  driver_->read_count = 20;
  i.Transact(t);
  EXPECT_EQ(t.resp(), "1.5" + std::string(17, '\0'));
}

TEST_F(HostileDriverTest, GetTransactBeforeAnyTransactionReadsTheInstrument) {
  KORInterface i;
  i.DTO(30);
  Open(i);
  auto t = Tx("X");
  EXPECT_EQ(ErrorOf([&] { i.GetTransact(t); }).Number(), err::GpibAborted);
  EXPECT_EQ(Texts(), (Calls{"ibfind(\"GPIB0\")", "ibconfig(0, 7, 0)", "ibdev(0, 1, 0, 14, 1, 0)",
                            "ibclr(16)", "ibconfig(16, 3, 13)", "ibrd(16, 256)"}));
  // The read ends with the transaction's 10 s, not the device's 30 s.
  EXPECT_NEAR(TimeOf("ibrd", 0) + 10.0, host_.SecondsSinceMidnight(), 0.01);
}

TEST_F(HostileDriverTest, TheReadIsBoundedByTheTransactionsTimeoutWhereTheDriverAllows) {
  KORInterface i;
  i.DTO(30);
  i.MAVSPoll(0);
  Open(i);
  dev_.Reply("ARM", "");
  auto t = Tx("TRIG");  // no reply
  double start = host_.elapsed_seconds();
  EXPECT_EQ(ErrorOf([&] { i.Transact(t); }).Number(), err::GpibAborted);
  EXPECT_NEAR(host_.elapsed_seconds() - start, 1.0 + 10.0, 0.05);

  // A driver that keeps its own timing cannot be interrupted: the late answer is refused.
  driver_->refuse_ibconfig = true;
  driver_->read_block_seconds = 25;
  auto m = Tx("MEAS?");
  start = host_.elapsed_seconds();
  EXPECT_EQ(ErrorOf([&] { i.Transact(m); }).Number(), err::ResponseTerminatorTimeout);
  EXPECT_NEAR(host_.elapsed_seconds() - start, 25.0, 0.05);
}

}  // namespace
}  // namespace parley::testing
