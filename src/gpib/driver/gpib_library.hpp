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

  int32_t RegisterGpibGlobalsForThread(int32_t* ibsta, int32_t* iberr, int32_t* ibcnt,
                                       int32_t* ibcntl) override;
  void UnregisterGpibGlobalsForThread() override;
  int32_t ibfind(const std::string& name) override;
  int32_t ibconfig(int32_t ud, int32_t option, int32_t value) override;
  int32_t ibdev(int32_t board_index, int32_t pad, int32_t sad, int32_t tmo, int32_t eot,
                int32_t eos) override;
  int32_t ibclr(int32_t ud) override;
  int32_t ibonl(int32_t ud, int32_t online) override;
  int32_t ibwrt(int32_t ud, const char* data, int32_t count) override;
  int32_t ibrd(int32_t ud, char* buffer, int32_t count) override;
  int32_t ibrsp(int32_t ud, char* status_byte) override;
  int32_t ibsre(int32_t ud, int32_t value) override;
  int32_t ibwait(int32_t ud, int32_t mask) override;

  struct Api;  // the library's entry points

 private:
  bool Load();
  // Reads the thread's status from the library after a call and hands it on.
  int32_t Finish(int32_t result);
  // A call made without a loaded library fails as an invalid descriptor would.
  int32_t NotLoaded();

  std::string path_;
  mutable std::mutex mutex_;
  bool tried_ = false;
  std::string error_;
  void* handle_ = nullptr;
  std::unique_ptr<Api> api_;  // set once, under mutex_, before `loaded_` turns true
  bool loaded_ = false;
  ThreadStatusRegistry registry_;
};

}  // namespace parley::detail
