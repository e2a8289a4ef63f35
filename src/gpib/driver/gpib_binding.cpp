#include "gpib/driver/gpib_binding.hpp"

#include <algorithm>
#include <memory>

#include "gpib/driver/gpib_selection.hpp"
#include "parley/errors.hpp"

namespace parley::detail::gpib {
namespace {
constexpr const char* kSource = "KORComm";

struct ThreadGpib {
  ~ThreadGpib();
  // The driver's status of this thread's last call.
  int32_t ibsta32 = 0;
  int32_t iberr32 = 0;
  int32_t ibcntl = 0;
  Status copies;
  bool registered = false;  // GpibGlobalsRegistered
  std::shared_ptr<GpibDriver> driver;
  uint64_t generation = 0;
  Board board;
};

thread_local ThreadGpib t_gpib;
thread_local bool t_gone = false;  // trivially destructible: readable after t_gpib is gone

ThreadGpib::~ThreadGpib() { t_gone = true; }

[[noreturn]] void Raise(int32_t number, const char* description = "") {
  throw AutomationError(number, kSource, description);
}

// The thread's state for the current driver choice.
ThreadGpib& State() {
  auto choice = CurrentGpibDriver();
  if (choice.generation != t_gpib.generation) {
    t_gpib.driver = std::move(choice.driver);
    t_gpib.generation = choice.generation;
    t_gpib.registered = false;
    t_gpib.board = Board{};
  }
  return t_gpib;
}

void RegisterGpibGlobals(ThreadGpib& t) {
  auto& d = *t.driver;
  int32_t rc = d.RegisterGpibGlobalsForThread();
  if (rc == 1) {
    d.UnregisterGpibGlobalsForThread();
    d.RegisterGpibGlobalsForThread();
  } else if (rc == 2 || rc == 3) {
    d.UnregisterGpibGlobalsForThread();
    Raise(err::GpibBoardInitFailed);
  } else if (rc != 0) {
    Raise(err::GpibBoardInitFailed);
  }
  t.registered = true;
}

// Registered and ready for a driver call.
GpibDriver& Driver(ThreadGpib& t) {
  if (!t.registered) RegisterGpibGlobals(t);
  return *t.driver;
}

int16_t NarrowErrorCode(int32_t code) {
  if (code < -32768 || code > 32767) Raise(err::Overflow, "Overflow");
  return static_cast<int16_t>(code);
}

void CopyDriverStatus(ThreadGpib& t, const DriverCall& call) {
  t.ibsta32 = call.ibsta;
  t.iberr32 = call.iberr;
  t.ibcntl = call.ibcntl;
  t.copies.ibsta = ConvertLongToInt(t.ibsta32);
  t.copies.iberr = NarrowErrorCode(t.iberr32);
  t.copies.ibcnt = ConvertLongToInt(t.ibcntl);
}

// Steps 5, 7 and 8 common to every wrapper.
int16_t Finish(ThreadGpib& t, const DriverCall& call, Status* out) {
  int16_t narrowed = ConvertLongToInt(call.result);
  CopyDriverStatus(t, call);
  if (out) *out = t.copies;
  return narrowed;
}
}  // namespace

int16_t ConvertLongToInt(int32_t x) {
  if (x >= -1 && x <= 32767) return static_cast<int16_t>(x);
  if (x < -1) return static_cast<int16_t>(x & 0x7FFF);
  if (x <= 98303) return static_cast<int16_t>(x - 65536);
  Raise(err::Overflow, "Overflow");
}

int16_t ibfind(const std::string& name, Status& status) {
  auto& t = State();
  DriverCall call = Driver(t).ibfind(name);
  int16_t descriptor = ConvertLongToInt(call.result);
  if (descriptor < 0) Raise(err::GpibBoardInitFailed);
  CopyDriverStatus(t, call);
  status = t.copies;
  return descriptor;
}

int16_t ibconfig(int16_t ud, int16_t option, int16_t value, Status& status) {
  auto& t = State();
  return Finish(t, Driver(t).ibconfig(ud, option, value), &status);
}

int16_t ibdev(int16_t board_index, int16_t pad, int16_t sad, int16_t tmo, int16_t eot, int16_t eos,
              Status& status) {
  auto& t = State();
  return Finish(t, Driver(t).ibdev(board_index, pad, sad, tmo, eot, eos), &status);
}

int16_t ibclr(int16_t ud, Status& status) {
  auto& t = State();
  return Finish(t, Driver(t).ibclr(ud), &status);
}

int16_t ibonl(int16_t ud, Status& status) {
  auto& t = State();
  return Finish(t, Driver(t).ibonl(ud, 0), &status);
}

int16_t ibwrt(int16_t ud, const std::string& data, int32_t count, Status& status) {
  auto& t = State();
  count = std::clamp<int32_t>(count, 0, static_cast<int32_t>(data.size()));
  return Finish(t, Driver(t).ibwrt(ud, data.data(), count), &status);
}

int16_t ibrd(int16_t ud, std::string& buffer, int32_t count, Status& status) {
  auto& t = State();
  count = std::clamp<int32_t>(count, 0, static_cast<int32_t>(buffer.size()));
  return Finish(t, Driver(t).ibrd(ud, buffer.data(), count), &status);
}

int16_t ibrsp(int16_t ud, int16_t& status_byte, Status& status) {
  auto& t = State();
  char spr = 0;
  DriverCall call = Driver(t).ibrsp(ud, &spr);
  int16_t narrowed = Finish(t, call, &status);
  status_byte = static_cast<unsigned char>(spr);
  return narrowed;
}

int16_t ibsre(int16_t ud, int16_t value) {
  auto& t = State();
  return Finish(t, Driver(t).ibsre(ud, value), nullptr);
}

int16_t ibwait(int16_t ud, int16_t mask, Status& status) {
  auto& t = State();
  return Finish(t, Driver(t).ibwait(ud, mask), &status);
}

Board& ThreadBoard() { return State().board; }
uint64_t ThreadGeneration() { return State().generation; }
bool ThreadStateAlive() { return !t_gone; }

}  // namespace parley::detail::gpib
