// KORInterface: settings, lifecycle and the debug trace members.
#include "parley/interface.hpp"

#include <cmath>
#include <optional>

#include "catalogue/error_path.hpp"
#include "interface/core.hpp"
#include "interface/number_text.hpp"
#include "model/access.hpp"

namespace parley {

using detail::Call;
using detail::InterfaceCore;

KORInterface::KORInterface() : core_(std::make_shared<InterfaceCore>(*this)) {
  detail::ProgressAccess::Claim(*core_->progress);
}

KORInterface::~KORInterface() {
  // In a child of fork() the port and the loop are the parent's: closing them here would take
  // them from the parent. The core is left allocated, untouched.
  if (core_->MadeInOtherProcess()) {
    static_cast<void>(new std::shared_ptr<InterfaceCore>(std::move(core_)));
    return;
  }
  // Closing touches the port, which the connection manager's watcher may close meanwhile.
  detail::ActivityScope activity(core_->host);
  // During a call (a handler destroys its interface) that call finishes the work and closes.
  if (core_->OwnerDestroyed()) return;
  if (!core_->is_port_open || core_->busy) return;
  try {
    core_->RunClosePort();
  } catch (...) {
    // A destructor cannot report; the machinery is released with the core either way.
  }
}

void KORInterface::openPort() {
  Call(core_, [](InterfaceCore& c) { c.RunOpenPort(); });
}

void KORInterface::closePort() {
  Call(core_, [](InterfaceCore& c) { c.RunClosePort(); });
}

bool KORInterface::Busy() const { return Own().busy; }
bool KORInterface::IsPortOpen() const { return Own().is_port_open; }
std::string KORInterface::LastLinkError() const { return Own().last_link_error; }

std::shared_ptr<KORProgress> KORInterface::Progress() const { return Own().progress; }
void KORInterface::Progress(std::shared_ptr<KORProgress> progress) {
  if (!progress) return;
  auto& c = Own();
  detail::ProgressAccess::Claim(*progress);
  c.progress = std::move(progress);
}

// --- debug trace -----------------------------------------------------------------------------
// The trace's own members may raise debugMonUpdate, so they run as calls.
void KORInterface::DebugMonitorOn() {
  Call(core_, [](InterfaceCore& c) { c.trace.MonitorOn(); });
}
void KORInterface::DebugMonitorOff() {
  Call(core_, [](InterfaceCore& c) { c.trace.MonitorOff(); });
}
int32_t KORInterface::DebugBuffSizeGet() const { return Own().trace.Size(); }
void KORInterface::DebugBuffSizeSet(int32_t newSize) {
  Call(core_, [&](InterfaceCore& c) { c.trace.SetSize(newSize); });
}
std::string KORInterface::DebugBuffGet() const { return Own().trace.Buffer(); }
void KORInterface::DebugBuffClear() {
  Call(core_, [](InterfaceCore& c) { c.trace.Clear(); });
}
void KORInterface::DebugMonitorShow() {
  Call(core_, [](InterfaceCore& c) { c.trace.Show(); });
}
void KORInterface::DebugMonitorHide() {
  Call(core_, [](InterfaceCore& c) { c.trace.Hide(); });
}
bool KORInterface::DebugMonitorVisible() const { return Own().trace.Visible(); }

InterfaceCore& KORInterface::Own() const {
  core_->CheckThread();
  return *core_;
}

// --- settings --------------------------------------------------------------------------------
namespace {
// Puts guarded by "open" are ignored while the port is open, "busy" ones while Busy.
template <class T, class V>
void PutUnlessOpen(const InterfaceCore& c, T& field, V value) {
  if (!c.is_port_open) field = std::move(value);
}
template <class T, class V>
void PutUnlessBusy(const InterfaceCore& c, T& field, V value) {
  if (!c.busy) field = std::move(value);
}
}  // namespace

#define PARLEY_OPEN_GUARDED(Name, Type, field)                     \
  Type KORInterface::Name() const { return Own().settings.field; } \
  void KORInterface::Name(Type value) {                            \
    PutUnlessOpen(Own(), core_->settings.field, std::move(value)); \
  }
#define PARLEY_BUSY_GUARDED(Name, field)                           \
  bool KORInterface::Name() const { return Own().settings.field; } \
  void KORInterface::Name(bool value) { PutUnlessBusy(Own(), core_->settings.field, value); }
#define PARLEY_UNGUARDED(Name, Type, field)                        \
  Type KORInterface::Name() const { return Own().settings.field; } \
  void KORInterface::Name(Type value) { Own().settings.field = std::move(value); }

PARLEY_OPEN_GUARDED(commMode, int32_t, comm_mode)
PARLEY_OPEN_GUARDED(CommPort, int32_t, comm_port)
PARLEY_OPEN_GUARDED(BitRate, int32_t, bit_rate)
PARLEY_OPEN_GUARDED(Parity, int32_t, parity)
PARLEY_OPEN_GUARDED(DataBits, int32_t, data_bits)
PARLEY_OPEN_GUARDED(StopBits, int32_t, stop_bits)
PARLEY_OPEN_GUARDED(ITC, int32_t, itc)
PARLEY_OPEN_GUARDED(DTO, int16_t, dto)
PARLEY_OPEN_GUARDED(IdleSPoll, int16_t, idle_spoll)
PARLEY_OPEN_GUARDED(MAVSPoll, int16_t, mav_spoll)
PARLEY_OPEN_GUARDED(CmdTerm, std::string, cmd_term)
PARLEY_OPEN_GUARDED(RespTerm, std::string, resp_term)
PARLEY_OPEN_GUARDED(PlainInstrument, bool, plain_instrument)
PARLEY_BUSY_GUARDED(UseSRQ, use_srq)
PARLEY_BUSY_GUARDED(EABOExpected, eabo_expected)
PARLEY_BUSY_GUARDED(SkipIBClr, skip_ibclr)
PARLEY_UNGUARDED(RemoveExtraChar, bool, remove_extra_char)
PARLEY_UNGUARDED(VerifyEcho, bool, verify_echo)
PARLEY_UNGUARDED(DelayGPIBTrans, bool, delay_gpib_trans)
PARLEY_UNGUARDED(WaitForMAVbitClear, bool, wait_for_mav_bit_clear)
PARLEY_UNGUARDED(RemoteHostIpAddress, std::string, remote_host_ip_address)
PARLEY_UNGUARDED(RaiseEtherPortResetErr, bool, raise_ether_port_reset_err)

#undef PARLEY_OPEN_GUARDED
#undef PARLEY_BUSY_GUARDED
#undef PARLEY_UNGUARDED

int16_t KORInterface::GPIBAddress() const { return Own().settings.gpib_address; }
void KORInterface::GPIBAddress(int32_t value) {
  auto& c = Own();
  // The argument is narrowed before the guard looks at it, so a wide value always fails.
  if (value < -32768 || value > 32767) throw detail::DirectError(err::Overflow, "KORInterface");
  PutUnlessOpen(c, c.settings.gpib_address, static_cast<int16_t>(value));
}

int16_t KORInterface::GPIBDirectMaxRespLength() const {
  return Own().settings.gpib_direct_max_resp_length;
}
void KORInterface::GPIBDirectMaxRespLength(int16_t value) {
  auto& c = Own();
  if (value >= 1 && value <= 20000) c.settings.gpib_direct_max_resp_length = value;
}

void KORInterface::TimeDelayForMAVbit(double seconds) {
  Own().settings.time_delay_for_mav_bit = seconds <= 3.0 ? seconds : 1.0;  // NaN fails <=
}

std::string KORInterface::DevicePath() const { return Own().settings.device_path; }
void KORInterface::DevicePath(std::string path) {
  auto& c = Own();
  // open() would stop at the NUL and open some other device (as MapSerialPort refuses).
  if (path.find('\0') != std::string::npos) {
    throw AutomationError(err::ErrorInitializingCommPort, "KORInterface",
                          "Error initializing COMM port: the device path holds a NUL byte; the "
                          "interface's device was not changed.");
  }
  PutUnlessOpen(c, c.settings.device_path, std::move(path));
}

std::string KORInterface::RemotePortNumber() const {
  return std::to_string(Own().settings.remote_port_number);
}
void KORInterface::RemotePortNumber(const std::string& value) {
  auto& c = Own();
  std::optional<double> number = detail::ParseNumericText(value);
  if (!number) throw detail::DirectError(err::TcpPortOutOfRange, "KORInterface");
  double rounded = std::nearbyint(*number);  // halves go to the even neighbour
  if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) {
    throw detail::DirectError(err::Overflow, "KORInterface");
  }
  c.settings.remote_port_number = static_cast<int32_t>(rounded);
}

}  // namespace parley
