#include "gpib/driver/gpib_library.hpp"

#include <dlfcn.h>

#include <utility>

namespace parley::detail {

// linux-gpib's C API (ib.h), declared here so that nothing of the library is needed to build.
struct LibraryGpibDriver::Api {
  int (*ibfind)(const char*);
  int (*ibconfig)(int, int, int);
  int (*ibdev)(int, int, int, int, int, int);
  int (*ibclr)(int);
  int (*ibonl)(int, int);
  int (*ibwrt)(int, const void*, long);
  int (*ibrd)(int, void*, long);
  int (*ibrsp)(int, char*);
  int (*ibsre)(int, int);
  int (*ibwait)(int, int);
  int (*ibln)(int, int, int, short*) = nullptr;  // optional: only the listing uses it
  int (*ThreadIbsta)();
  int (*ThreadIberr)();
  int (*ThreadIbcnt)();
  long (*ThreadIbcntl)();
};

namespace {
template <class F>
bool Resolve(void* handle, const char* name, F& fn, std::string& error) {
  void* symbol = dlsym(handle, name);
  if (!symbol) {
    if (error.empty()) error = std::string("the library has no ") + name;
    return false;
  }
  fn = reinterpret_cast<F>(symbol);
  return true;
}

// Counts beyond 32 bits cannot come from a 32-bit request; keep the low word, as the driver's
// own 32-bit variables would.
int32_t Narrow(long value) { return static_cast<int32_t>(value); }
}  // namespace

LibraryGpibDriver::LibraryGpibDriver(std::string path) : path_(std::move(path)) {}

LibraryGpibDriver::~LibraryGpibDriver() {
  if (handle_) dlclose(handle_);
}

std::string LibraryGpibDriver::LoadError() const {
  std::lock_guard lock(mutex_);
  return error_;
}

bool LibraryGpibDriver::Load() {
  std::lock_guard lock(mutex_);
  if (tried_) return loaded_;
  tried_ = true;
  handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* why = dlerror();
    error_ = why ? why : "cannot load " + path_;
    return false;
  }
  auto api = std::make_unique<Api>();
  // Every symbol is looked up, so that the error names one that is missing.
  int missing = 0;
  missing += Resolve(handle_, "ibfind", api->ibfind, error_) ? 0 : 1;
  missing += Resolve(handle_, "ibconfig", api->ibconfig, error_) ? 0 : 1;
  missing += Resolve(handle_, "ibdev", api->ibdev, error_) ? 0 : 1;
  missing += Resolve(handle_, "ibclr", api->ibclr, error_) ? 0 : 1;
  missing += Resolve(handle_, "ibonl", api->ibonl, error_) ? 0 : 1;
  missing += Resolve(handle_, "ibwrt", api->ibwrt, error_) ? 0 : 1;
  missing += Resolve(handle_, "ibrd", api->ibrd, error_) ? 0 : 1;
  missing += Resolve(handle_, "ibrsp", api->ibrsp, error_) ? 0 : 1;
  missing += Resolve(handle_, "ibsre", api->ibsre, error_) ? 0 : 1;
  missing += Resolve(handle_, "ibwait", api->ibwait, error_) ? 0 : 1;
  missing += Resolve(handle_, "ThreadIbsta", api->ThreadIbsta, error_) ? 0 : 1;
  missing += Resolve(handle_, "ThreadIberr", api->ThreadIberr, error_) ? 0 : 1;
  missing += Resolve(handle_, "ThreadIbcnt", api->ThreadIbcnt, error_) ? 0 : 1;
  missing += Resolve(handle_, "ThreadIbcntl", api->ThreadIbcntl, error_) ? 0 : 1;
  // Not counted as missing: transactions work without it.
  if (void* symbol = dlsym(handle_, "ibln")) {
    api->ibln = reinterpret_cast<int (*)(int, int, int, short*)>(symbol);
  }
  bool ok = missing == 0;
  if (!ok) {
    error_ = path_ + ": " + error_;
    dlclose(handle_);
    handle_ = nullptr;
    return false;
  }
  api_ = std::move(api);
  loaded_ = true;
  return true;
}

// The library keeps its status per thread on its own; nothing to register.
int32_t LibraryGpibDriver::RegisterGpibGlobalsForThread() { return Load() ? 0 : -1; }

void LibraryGpibDriver::UnregisterGpibGlobalsForThread() {}

DriverCall LibraryGpibDriver::Finish(int32_t result) {
  return {result, api_->ThreadIbsta(), api_->ThreadIberr(), Narrow(api_->ThreadIbcntl())};
}

DriverCall LibraryGpibDriver::NotLoaded(int32_t result) { return {result, kIbstaErr, kEdvr, 0}; }

// Every call below is reached only after a successful registration has loaded the library;
// the checks keep a stray call from jumping through a null pointer.
DriverCall LibraryGpibDriver::ibfind(const std::string& name) {
  if (!Load()) return NotLoaded(-1);
  return Finish(api_->ibfind(name.c_str()));
}
DriverCall LibraryGpibDriver::ibconfig(int32_t ud, int32_t option, int32_t value) {
  if (!Load()) return NotLoaded(kIbstaErr);
  return Finish(api_->ibconfig(ud, option, value));
}
DriverCall LibraryGpibDriver::ibdev(int32_t board_index, int32_t pad, int32_t sad, int32_t tmo,
                                    int32_t eot, int32_t eos) {
  if (!Load()) return NotLoaded(-1);
  return Finish(api_->ibdev(board_index, pad, sad, tmo, eot, eos));
}
DriverCall LibraryGpibDriver::ibclr(int32_t ud) {
  if (!Load()) return NotLoaded(kIbstaErr);
  return Finish(api_->ibclr(ud));
}
DriverCall LibraryGpibDriver::ibonl(int32_t ud, int32_t online) {
  if (!Load()) return NotLoaded(kIbstaErr);
  return Finish(api_->ibonl(ud, online));
}
DriverCall LibraryGpibDriver::ibwrt(int32_t ud, const char* data, int32_t count) {
  if (!Load()) return NotLoaded(kIbstaErr);
  return Finish(api_->ibwrt(ud, data, count));
}
DriverCall LibraryGpibDriver::ibrd(int32_t ud, char* buffer, int32_t count) {
  if (!Load()) return NotLoaded(kIbstaErr);
  return Finish(api_->ibrd(ud, buffer, count));
}
DriverCall LibraryGpibDriver::ibrsp(int32_t ud, char* status_byte) {
  if (!Load()) return NotLoaded(kIbstaErr);
  return Finish(api_->ibrsp(ud, status_byte));
}
DriverCall LibraryGpibDriver::ibsre(int32_t ud, int32_t value) {
  if (!Load()) return NotLoaded(kIbstaErr);
  return Finish(api_->ibsre(ud, value));
}
DriverCall LibraryGpibDriver::ibwait(int32_t ud, int32_t mask) {
  if (!Load()) return NotLoaded(kIbstaErr);
  return Finish(api_->ibwait(ud, mask));
}

DriverCall LibraryGpibDriver::ibln(int32_t ud, int32_t pad, int16_t* listener) {
  if (!Load()) return NotLoaded(kIbstaErr);
  if (!api_->ibln) return GpibDriver::ibln(ud, pad, listener);
  constexpr int kNoSecondaryAddress = 0;
  return Finish(api_->ibln(ud, pad, kNoSecondaryAddress, listener));
}

}  // namespace parley::detail
