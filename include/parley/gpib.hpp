// The GPIB driver that direct-GPIB operations (commMode 3) use, and the simulated bus.
//
// Choosing the driver is process-wide and takes effect on each thread's next GPIB call; a
// thread's board and device state belongs to the driver it was opened with, so switching
// drivers forgets it (objects then open their board and device again on the new driver).
// Switch drivers only while no GPIB operation runs. The default is the system library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "parley/export.hpp"

namespace parley {

namespace detail {
struct SimBusState;
struct SimBusAccess;
}  // namespace detail

// The longest command a direct-GPIB (mode 3) Transact writes: the largest byte count the
// driver's 16-bit status copy can carry. A longer one fails with err::Overflow before anything
// reaches the bus.
inline constexpr std::size_t kMaxGpibDirectCommandLength = 98303;

// The default system library, found through the dynamic loader's search path.
inline constexpr const char* kSystemGpibLibrary = "libgpib.so.0";

class SimulatedGpibBus;

// The system's NI-488.2-compatible library (linux-gpib), loaded on first use. Nothing of it is
// needed to build. Without it, the first GPIB call fails with "Error initializing GPIB board."
// (err::GpibBoardInitFailed) and GpibLibraryLoadError() says why.
PARLEY_API void UseSystemGpibLibrary();
// The same, from a library at `path` (for instance a vendor's build in /opt). A path holding a
// NUL byte throws AutomationError(err::GpibBoardInitFailed) and leaves the driver as it was.
PARLEY_API void UseGpibLibrary(const std::string& path);
// The built-in simulated bus `bus` (its instruments and call log are shared with the caller).
PARLEY_API void UseSimulatedGpibBus(const SimulatedGpibBus& bus);
// Why the chosen library could not be loaded ("" when it loaded, was not tried yet, or the
// simulated bus is in use).
PARLEY_API std::string GpibLibraryLoadError();

// One instrument on a simulated bus. A handle: copies refer to the same instrument. Every
// member is safe to call from any thread, also while a transaction talks to the instrument.
//
// Its serial-poll status byte holds the idle bits while it is not busy, the message-available
// bits while a reply can be read, and 0x40 (RQS) while it requests service: after "*SRE n" it
// asserts service request when a status bit in n is set, until a serial poll. Writes are
// taken as commands: leading "*SRE n;" parts set the service-request enable, a command
// containing "*RST" resets it and drops unread output, the rest is answered by OnCommand or
// Reply (no answer: nothing to read). A read returns at most the requested count; the rest of
// a reply stays for the next read. A read with nothing to read waits for a reply that is due
// within the device timeout, or ends after the device timeout in EABO (6), on the caller's
// clock (a test's virtual clock jumps).
class PARLEY_API SimulatedInstrument {
 public:
  int Address() const { return address_; }

  void Reply(const std::string& command, std::string reply);
  // Answers any command; std::nullopt: no reply. Replaces the Reply table. It runs inside the
  // driver call, on the writing thread, without the bus locked: it may call any member of the
  // bus or its instruments (the command is already in Received(); its reply joins the output
  // when the handler returns, after the response delay then set). Handlers of writes made at
  // the same time from several threads run concurrently.
  void OnCommand(std::function<std::optional<std::string>(const std::string& command)> handler);
  // Seconds from a write until its reply can be read (0 by default).
  void ResponseDelay(double seconds);
  // A busy instrument shows no idle bits.
  void Busy(bool busy);
  // The bits it shows for "idle" and "message available" (defaults 0x02 and 0x04).
  void StatusBits(uint8_t idle, uint8_t message_available);
  // A reply already waiting to be read (a stray response).
  void QueueReply(std::string reply);
  // Drops every unread reply, as the instrument's own clear would.
  void DiscardOutput();

  uint8_t StatusByte() const;
  // Commands as written, oldest first, and the unread part of the pending replies.
  std::vector<std::string> Received() const;
  std::string Unread() const;
  int32_t ServiceRequestEnable() const;

 private:
  friend class SimulatedGpibBus;
  SimulatedInstrument(std::shared_ptr<detail::SimBusState> bus, int address)
      : bus_(std::move(bus)), address_(address) {}
  std::shared_ptr<detail::SimBusState> bus_;
  int address_;
};

// One driver call the bus received, e.g. name "ibwrt", text "ibwrt(16, \"*IDN?\", 5)", with
// the calling thread and its clock (seconds since midnight) when the call began.
struct GpibCall {
  std::string name;
  std::string text;
  std::thread::id thread;
  double at = 0;
};

// A simulated GPIB bus behind board "GPIB0" (board descriptor 0; device descriptors from 16).
// Copies share the bus. Safe to use from several threads.
class PARLEY_API SimulatedGpibBus {
 public:
  SimulatedGpibBus();

  // Adds (or returns the existing) instrument at primary address 0..30.
  SimulatedInstrument AddInstrument(int address);

  // The next `times` calls of driver function `call` ("ibrd", "ibwrt", "ibfind", ...) fail
  // with driver error `iberr` and do nothing else; `times` < 0: every call from now on.
  // Replaces any earlier injection for `call`.
  void InjectError(const std::string& call, int32_t iberr, int times = 1);
  void ClearInjectedErrors();
  // Return codes of the next registrations, in order (then 0 again).
  void QueueRegistrationResult(int32_t rc);

  // The log keeps the most recent kMaxLoggedCalls driver calls; older ones are dropped, so a
  // long-running program on the simulated bus does not grow without bound.
  static constexpr std::size_t kMaxLoggedCalls = 10000;
  std::vector<GpibCall> Calls() const;
  // Just the names, optionally without the registration calls.
  std::vector<std::string> CallNames(bool with_registration = false) const;
  void ClearCalls();

  bool BoardOnline() const;
  int OnlineDevices() const;
  bool RemoteEnableAsserted() const;

 private:
  friend struct detail::SimBusAccess;
  std::shared_ptr<detail::SimBusState> state_;
};

}  // namespace parley
