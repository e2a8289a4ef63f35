// The system-library driver, loaded at run time: a stand-in library that exports linux-gpib's
// calls over the simulated bus, and libraries that are missing or incomplete.
#include "gpib/gpib_fixture.hpp"

namespace parley::testing {
namespace {

class LoadedLibraryTest : public GpibTestBase {
 protected:
  LoadedLibraryTest() : GpibTestBase(Backend::kLoadedLibrary) {}
};

// The rest of the behaviour is the shared suite's, run on this backend too.
TEST_F(LoadedLibraryTest, OnlyTheLibrarysOwnCallsReachIt) {
  KORInterface i;
  Open(i);
  auto t = Tx("MEAS?");
  i.Transact(t);
  EXPECT_EQ(t.resp(), "1.23");
  EXPECT_EQ(GpibLibraryLoadError(), "");
  // linux-gpib has no registration call: status comes through ThreadIbsta and friends.
  EXPECT_EQ(bus_.CallNames(true), (Calls{"ibfind", "ibconfig", "ibdev", "ibclr", "ibrsp", "ibwrt",
                                         "ibrsp", "ibconfig", "ibrd"}));
}

TEST(GpibLibraryMissing, FirstCallFailsAsABoardThatCannotBeInitialised) {
  for (std::string path : {"/nonexistent/libgpib.so.0", "libm.so.6"}) {
    UseGpibLibrary(path);
    detail::ScopedHost host(std::make_unique<detail::VirtualHost>());
    KORInterface i;
    i.commMode(korCommModeGPIBDirect);
    i.openPort();
    KORTransaction t;
    t.cmd("MEAS?");
    try {
      i.Transact(t);
      ADD_FAILURE() << "no error for " << path;
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.Number(), err::GpibBoardInitFailed);
      EXPECT_EQ(e.Description(), "Error initializing GPIB board.");
    }
    EXPECT_FALSE(i.Busy());
    EXPECT_FALSE(GpibLibraryLoadError().empty()) << path;
    try {
      i.RemoteEnable();  // no error path: the number alone, with a text of its own
      ADD_FAILURE() << "no error from RemoteEnable";
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.Number(), err::GpibBoardInitFailed);
      EXPECT_EQ(e.Source(), "KORInterface");
    }
  }
  EXPECT_NE(GpibLibraryLoadError().find("ibfind"), std::string::npos) << GpibLibraryLoadError();
  UseSystemGpibLibrary();
}

}  // namespace
}  // namespace parley::testing
