// The system's NI-488.2-compatible GPIB library (linux-gpib's libgpib.so.0), loaded at run time
// so that nothing of it is needed to build, nor to run programs that never use direct GPIB.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "gpib/driver/gpib_driver.hpp"

namespace parley::detail {

// `path` goes to the dynamic loader as is: a bare name is looked up on its search path. The
// library is loaded on the first registration; if it cannot be loaded, or lacks one of the
// calls, registration answers -1 (the binding reports "Error initializing GPIB board.") and
// LoadError() says why. linux-gpib has no registration call: the status is read after each
// call through ThreadIbsta, ThreadIberr, ThreadIbcnt and ThreadIbcntl and written to the
// registered variables, so registration succeeds once the library is loaded.
class LibraryGpibDriver : public GpibDriver {
 public:
  explicit LibraryGpibDriver(std::string path);
  ~LibraryGpibDriver() override;
  LibraryGpibDriver(const LibraryGpibDriver&) = delete;
  LibraryGpibDriver& operator=(const LibraryGpibDriver&) = delete;

  const std::string& path() const { return path_; }
  std::string LoadError() const;

  int32_t RegisterGpibGlobalsForThread() override;
  void UnregisterGpibGlobalsForThread() override;
  DriverCall ibfind(const std::string& name) override;
  DriverCall ibconfig(int32_t ud, int32_t option, int32_t value) override;
  DriverCall ibdev(int32_t board_index, int32_t pad, int32_t sad, int32_t tmo, int32_t eot,
                   int32_t eos) override;
  DriverCall ibclr(int32_t ud) override;
  DriverCall ibonl(int32_t ud, int32_t online) override;
  DriverCall ibwrt(int32_t ud, const char* data, int32_t count) override;
  DriverCall ibrd(int32_t ud, char* buffer, int32_t count) override;
  DriverCall ibrsp(int32_t ud, char* status_byte) override;
  DriverCall ibsre(int32_t ud, int32_t value) override;
  DriverCall ibwait(int32_t ud, int32_t mask) override;
  DriverCall ibln(int32_t ud, int32_t pad, int16_t* listener) override;

  struct Api;  // the library's entry points

 private:
  bool Load();
  // Reads the thread's status from the library right after a call.
  DriverCall Finish(int32_t result);
  // A call made without a loaded library fails as an invalid descriptor would.
  static DriverCall NotLoaded(int32_t result);

  std::string path_;
  mutable std::mutex mutex_;
  bool tried_ = false;
  std::string error_;
  void* handle_ = nullptr;
  std::unique_ptr<Api> api_;  // set once, under mutex_, before `loaded_` turns true
  bool loaded_ = false;
};

}  // namespace parley::detail
