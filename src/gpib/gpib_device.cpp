// Board and device of a direct-GPIB link: opening, releasing, and the driver's codes.
#include <cxxabi.h>

#include <array>
#include <utility>

#include "gpib/driver/gpib_binding.hpp"
#include "gpib/gpib_link.hpp"
#include "model/timeout.hpp"

namespace parley::detail {
namespace {
constexpr const char* kBoardName = "GPIB0";
// The device timeout is never shorter than this unless EABO endings are expected.
constexpr int16_t kMinimumDeviceSeconds = 10;
constexpr float kSettleSeconds = 1.0f;

}  // namespace

void RaiseDriverError(const gpib::Status& s) { Raise(GpibErrorNumber(s.iberr)); }

namespace {}  // namespace

int32_t GpibErrorNumber(int16_t code) {
  static constexpr std::array<std::pair<int16_t, int32_t>, 15> kTable = {{
      {0, err::GpibDosError},
      {1, err::GpibNotCic},
      {2, err::GpibWriteHandshake},
      {3, err::GpibNotAddressed},
      {4, err::GpibInvalidArgument},
      {5, err::GpibNotSystemController},
      {6, err::GpibAborted},
      {7, err::GpibNoBoard},
      {10, err::GpibAsyncInProgress},
      {11, err::GpibNoCapability},
      {12, err::GpibFileSystem},
      {14, err::GpibBusError},
      {15, err::GpibStatusQueueOverflow},
      {16, err::GpibSrqStuck},
      {20, err::GpibTableProblem},
  }};
  for (const auto& [driver_code, number] : kTable) {
    if (driver_code == code) return number;
  }
  return err::UndefinedError;
}

int16_t DeviceTimeoutSeconds(const Settings& set) {
  return (!set.eabo_expected && set.dto < kMinimumDeviceSeconds) ? kMinimumDeviceSeconds : set.dto;
}

int16_t GpibTimeoutCode(int16_t seconds) {
  static constexpr std::array<std::pair<int16_t, int16_t>, 6> kBelow = {
      {{2, 11}, {4, 12}, {11, 13}, {31, 14}, {101, 15}, {301, 16}}};
  for (const auto& [limit, code] : kBelow) {
    if (seconds < limit) return code;
  }
  return 17;
}

GpibLink::~GpibLink() {
  // An object that goes away releases its device, so the board still goes offline with the
  // thread's last device. A destructor cannot report: failures are dropped.
  if (!device_online_ || !gpib::ThreadStateAlive()) return;
  try {
    TakeDeviceOffline();
  } catch (...) {
  }
}

bool GpibLink::HoldsOnlineDevice() {
  if (device_online_ && device_generation_ != gpib::ThreadGeneration()) device_online_ = false;
  return device_online_;
}

void GpibLink::OpenGpibDevice() {
  if (!gpib::ThreadBoard().open) OpenBoard();
  if (!device_open_) OpenDevice();
}

// Each statement runs under this operation's own error path; flags change only after the
// statement that justifies them succeeded, so a failure leaves them as they were.
void GpibLink::OpenBoard() {
  auto& board = gpib::ThreadBoard();
  gpib::Status s;
  int16_t descriptor = 0;
  RunStep(core_, [&] { descriptor = gpib::ibfind(kBoardName, s); });
  board.descriptor = descriptor;
  // Automatic serial polling off: the library polls itself and must see every status byte.
  RunStep(core_, [&] {
    if (gpib::ibconfig(board.descriptor, kIbcAutopoll, 0, s) < 0) RaiseDriverError(s);
  });
  board.open = true;
  board.device_count = 0;
}

void GpibLink::OpenDevice() {
  const auto& set = core_.settings;
  gpib::Status s;
  int16_t code = GpibTimeoutCode(DeviceTimeoutSeconds(set));
  int16_t previous = device_;
  bool replaces_online = HoldsOnlineDevice();
  int16_t d = 0;
  // No secondary address, EOI with the last byte of every write, no end-of-string character.
  RunStep(core_, [&] {
    d = gpib::ibdev(0, set.gpib_address, 0, code, 1, 0, s);
    if (d < 0) RaiseDriverError(s);
  });
  device_ = d;
  // A device clear that fails leaves a descriptor nobody will use: take it offline before the
  // error goes on, so failed attempts do not pile up descriptors in the driver.
  RunStep(
      core_,
      [&] {
        if (!set.skip_ibclr && gpib::ibclr(device_, s) < 0) RaiseDriverError(s);
      },
      [&] {
        try {
          gpib::ibonl(device_, s);
        } catch (abi::__forced_unwind&) {
          throw;
        } catch (...) {
        }
      });
  RunStep(core_, [&] { WaitSeconds(core_.host, kSettleSeconds); });
  if (replaces_online) {
    // The device left online by an earlier openPort is replaced, not added to the count.
    RunStep(core_, [&] { gpib::ibonl(previous, s); });
  } else {
    ++gpib::ThreadBoard().device_count;
  }
  device_online_ = true;
  device_generation_ = gpib::ThreadGeneration();
  device_open_ = true;
}

void GpibLink::TakeDeviceOffline() {
  if (!HoldsOnlineDevice()) return;
  gpib::Status s;
  gpib::ibonl(device_, s);
  device_online_ = false;
  auto& board = gpib::ThreadBoard();
  if (--board.device_count > 0 || !board.open) return;
  gpib::ibonl(board.descriptor, s);
  board.open = false;
}

void GpibLink::GPIBClose() {
  RunStep(core_, [&] {
    if (core_.busy) Raise(err::InterfaceBusy);
  });
  if (!core_.is_port_open) return;
  // Busy from the start, so a handler run by the error path (a trace notification) cannot
  // start an operation on a half-closed link; a failure clears it again.
  core_.busy = true;
  auto idle = [&] { core_.busy = false; };
  RunStep(
      core_, [&] { TakeDeviceOffline(); }, idle);
  RunStep(
      core_, [&] { core_.ReleaseLinkObjects(); }, idle);
  sre_sent_ = false;
  core_.busy = false;
  core_.is_port_open = false;
}

}  // namespace parley::detail
