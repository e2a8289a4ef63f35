// The system-library driver, loaded at run time: a stand-in library that exports linux-gpib's
// calls over the simulated bus, and libraries that are missing or incomplete.
#include <dlfcn.h>

#include "gpib/fake_libgpib.hpp"
#include "gpib/gpib_fixture.hpp"
#include "host/gpib_sim.hpp"

namespace parley::testing {
namespace {

class GpibLibraryTest : public GpibTest {
 protected:
  GpibLibraryTest() : driver_(detail::SimBusAccess::MakeDriver(bus_)) {
    handle_ = dlopen(PARLEY_FAKE_GPIB_PATH, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(handle_, nullptr) << dlerror();
    auto install = reinterpret_cast<decltype(&parley_fake_gpib_install)>(
        dlsym(handle_, "parley_fake_gpib_install"));
    FakeGpibHooks hooks{driver_.get(), &Status, driver_.get()};
    install(&hooks);
    UseGpibLibrary(PARLEY_FAKE_GPIB_PATH);
  }
  ~GpibLibraryTest() override {
    UseSystemGpibLibrary();  // lets go of the library before the hooks' driver goes
    dlclose(handle_);
  }
  static void Status(void* context, int32_t* ibsta, int32_t* iberr, int32_t* ibcntl) {
    auto s = static_cast<detail::SimulatedGpibDriver*>(context)->ThreadStatus();
    *ibsta = s.ibsta;
    *iberr = s.iberr;
    *ibcntl = s.ibcntl;
  }

  std::shared_ptr<detail::SimulatedGpibDriver> driver_;
  void* handle_ = nullptr;
};

TEST_F(GpibLibraryTest, TransactionRunsThroughTheLoadedLibrary) {
  KORInterface i;
  Open(i);
  auto t = Tx("MEAS?");
  i.Transact(t);
  EXPECT_EQ(t.resp(), "1.23");
  EXPECT_EQ(GpibLibraryLoadError(), "");
  // The library has no registration call: only the ten calls reach it.
  EXPECT_EQ(bus_.CallNames(true),
            (Calls{"ibfind", "ibconfig", "ibdev", "ibclr", "ibrsp", "ibwrt", "ibrsp", "ibrd"}));
}

TEST_F(GpibLibraryTest, StatusAndCountsComeBackThroughTheThreadFunctions) {
  dev_.Reply("DUMP?", std::string(300, 'z'));
  KORInterface i;
  i.EABOExpected(true);
  i.DTO(1);
  i.MAVSPoll(0);
  Open(i);
  auto t = Tx("DUMP?");
  i.Transact(t);
  EXPECT_EQ(t.resp(), std::string(256, 'z'));  // ibcntl of the read

  auto arm = Tx("ARM");
  i.Transact(arm);  // mask 0: no stray check, the read takes the rest of the long reply
  EXPECT_EQ(arm.resp(), std::string(44, 'z'));
  // No reply: each read ends in EABO after the 1-second device timeout, until the timeout.
  EXPECT_EQ(ErrorOf([&] { i.Transact(arm); }).Number(), err::ResponseTerminatorTimeout);
  EXPECT_GE(Count("ibrd"), 10);
  bus_.InjectError("ibwrt", 14);
  EXPECT_EQ(ErrorOf([&] { i.Transact(arm); }).Number(), err::GpibBusError);
}

TEST_F(GpibLibraryTest, TwoObjectsShareTheBoardAndReleaseItWithTheLastDevice) {
  KORInterface a, b;
  Open(a);
  Open(b);
  auto t = Tx("MEAS?");
  a.Transact(t);
  b.Transact(t);
  a.GPIBClose();
  b.GPIBClose();
  EXPECT_EQ(Count("ibfind"), 1);
  EXPECT_EQ(Texts().back(), "ibonl(0, 0)");
  EXPECT_EQ(Count("ibonl"), 3);
  a.commMode(korCommModeGPIBDirect);
  bus_.ClearCalls();
  a.RemoteEnable();
  EXPECT_EQ(Texts(), (Calls{"ibsre(0, 0)", "ibsre(0, 1)"}));
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
