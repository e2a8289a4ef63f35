// The GPIB driver facility: the twelve NI-488.2 calls the direct-GPIB transport makes.
//
// Results and arguments are those of the NI-488.2 C API: calls return the status word (ibsta)
// or, for ibfind and ibdev, a descriptor that is negative on failure. After every call the
// driver writes the calling thread's four status variables, once the thread has registered
// their addresses with RegisterGpibGlobalsForThread. Implementations must be safe to call
// from several threads at once; status is per thread.
//
// Implementations: the system's library loaded at run time (gpib_library.hpp) and the
// simulated bus (gpib_sim.hpp). The process-wide choice lives in gpib_selection.hpp.
#pragma once

#include <cstdint>
#include <string>

namespace parley::detail {

// Status bits of ibsta.
inline constexpr int32_t kIbstaErr = 0x8000;
inline constexpr int32_t kIbstaTimo = 0x4000;
inline constexpr int32_t kIbstaEnd = 0x2000;
inline constexpr int32_t kIbstaSrqi = 0x1000;
inline constexpr int32_t kIbstaRqs = 0x0800;
inline constexpr int32_t kIbstaCmpl = 0x0100;
inline constexpr int32_t kIbstaCic = 0x0020;

// Driver error codes (iberr) the simulated bus produces.
inline constexpr int32_t kEdvr = 0;
inline constexpr int32_t kEnol = 2;
inline constexpr int32_t kEadr = 3;
inline constexpr int32_t kEarg = 4;
inline constexpr int32_t kEabo = 6;
inline constexpr int32_t kEcap = 11;

// The option of ibconfig that switches the driver's automatic serial polling.
inline constexpr int32_t kIbcAutopoll = 7;
// The option of ibconfig that sets a descriptor's I/O timeout code.
inline constexpr int32_t kIbcTmo = 3;

// What one driver call reports: its result (a status word, or a descriptor for ibfind and
// ibdev) with the status the driver set for the calling thread.
struct DriverCall {
  int32_t result = 0;
  int32_t ibsta = 0;
  int32_t iberr = 0;
  int32_t ibcntl = 0;
};

class GpibDriver {
 public:
  virtual ~GpibDriver() = default;

  // Prepares the calling thread: 0 done; 1 already done (the caller undoes and redoes it); any
  // other value: failure. A driver that cannot be loaded answers -1.
  virtual int32_t RegisterGpibGlobalsForThread() = 0;
  virtual void UnregisterGpibGlobalsForThread() = 0;

  virtual DriverCall ibfind(const std::string& name) = 0;
  virtual DriverCall ibconfig(int32_t ud, int32_t option, int32_t value) = 0;
  virtual DriverCall ibdev(int32_t board_index, int32_t pad, int32_t sad, int32_t tmo, int32_t eot,
                           int32_t eos) = 0;
  virtual DriverCall ibclr(int32_t ud) = 0;
  virtual DriverCall ibonl(int32_t ud, int32_t online) = 0;
  // `data` holds at least `count` bytes; `buffer` has room for `count` bytes.
  virtual DriverCall ibwrt(int32_t ud, const char* data, int32_t count) = 0;
  virtual DriverCall ibrd(int32_t ud, char* buffer, int32_t count) = 0;
  virtual DriverCall ibrsp(int32_t ud, char* status_byte) = 0;
  virtual DriverCall ibsre(int32_t ud, int32_t value) = 0;
  virtual DriverCall ibwait(int32_t ud, int32_t mask) = 0;
  // Whether a device listens at `pad` (no secondary address) on board `ud`; only the
  // resource listing asks. A driver without it reports ECAP.
  virtual DriverCall ibln(int32_t ud, int32_t pad, int16_t* listener) {
    static_cast<void>(ud), static_cast<void>(pad), static_cast<void>(listener);
    return {kIbstaErr, kIbstaErr, kEcap, 0};
  }
};

}  // namespace parley::detail
