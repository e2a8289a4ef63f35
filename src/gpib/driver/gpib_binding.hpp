// The binding to the GPIB driver: the only code that calls it.
//
// Each wrapper makes sure the calling thread's status variables are registered with the driver,
// calls it, narrows the 32-bit result to 16 bits and hands back 16-bit copies of the status.
// The wrappers decide nothing about failure (except ibfind): callers test the status word,
// which is negative exactly when the driver set ERR. Registration failure and an unknown board
// raise err::GpibBoardInitFailed; a value that does not fit 16 bits raises err::Overflow.
// Every item here is per thread.
#pragma once

#include <cstdint>
#include <string>

#include "gpib/driver/gpib_driver.hpp"

namespace parley::detail::gpib {

// 16-bit copies of the status of the last call.
struct Status {
  int16_t ibsta = 0;
  int16_t iberr = 0;
  int16_t ibcnt = 0;  // from the 32-bit count ibcntl
};

inline constexpr int16_t kErr = static_cast<int16_t>(0x8000);
inline constexpr int16_t kSrqi = 0x1000;
inline constexpr int16_t kTimo = 0x4000;
inline constexpr int16_t kIbcTmo = 3;  // ibconfig option: the I/O timeout code

// -1..32767 unchanged; below -1: AND 0x7FFF; 32768..98303: minus 65536; above: err::Overflow.
int16_t ConvertLongToInt(int32_t x);

int16_t ibfind(const std::string& name, Status& status);
int16_t ibconfig(int16_t ud, int16_t option, int16_t value, Status& status);
int16_t ibdev(int16_t board_index, int16_t pad, int16_t sad, int16_t tmo, int16_t eot, int16_t eos,
              Status& status);
int16_t ibclr(int16_t ud, Status& status);
// Always takes `ud` offline (second driver argument 0).
int16_t ibonl(int16_t ud, Status& status);
int16_t ibwrt(int16_t ud, const std::string& data, int32_t count, Status& status);
// Reads at most `count` bytes (and never more than `buffer` holds) into the start of `buffer`.
int16_t ibrd(int16_t ud, std::string& buffer, int32_t count, Status& status);
// `status_byte` receives the serial-poll byte as 0..255.
int16_t ibrsp(int16_t ud, int16_t& status_byte, Status& status);
int16_t ibsre(int16_t ud, int16_t value);
int16_t ibwait(int16_t ud, int16_t mask, Status& status);

// The calling thread's board, shared by every interface object of the thread.
struct Board {
  int16_t descriptor = 0;  // GpibBoard
  bool open = false;       // GpibBoardOpen
  int16_t device_count = 0;
};
// The board state for the current driver: a thread starts afresh (board closed, registration
// to be made) when the program chose another driver since its last call.
Board& ThreadBoard();
// Identifies the driver the thread's state belongs to; a device opened under another
// generation belongs to a driver no longer in use.
uint64_t ThreadGeneration();
// False once the thread's state is gone (objects destroyed during thread exit).
bool ThreadStateAlive();

}  // namespace parley::detail::gpib
