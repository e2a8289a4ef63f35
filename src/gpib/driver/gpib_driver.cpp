#include "gpib/driver/gpib_driver.hpp"

#include <atomic>
#include <unordered_map>

namespace parley::detail {
namespace {
struct Registration {
  int32_t* vars[4] = {nullptr, nullptr, nullptr, nullptr};
  GpibCallStatus last;
};

std::atomic<uint64_t> g_next_registry_id{1};
thread_local std::unordered_map<uint64_t, Registration> t_registrations;
}  // namespace

ThreadStatusRegistry::ThreadStatusRegistry() : id_(g_next_registry_id++) {}

void ThreadStatusRegistry::Register(int32_t* ibsta, int32_t* iberr, int32_t* ibcnt,
                                    int32_t* ibcntl) {
  auto& r = t_registrations[id_];
  r.vars[0] = ibsta;
  r.vars[1] = iberr;
  r.vars[2] = ibcnt;
  r.vars[3] = ibcntl;
}

void ThreadStatusRegistry::Unregister() {
  auto it = t_registrations.find(id_);
  if (it == t_registrations.end()) return;
  for (auto*& v : it->second.vars) v = nullptr;
}

void ThreadStatusRegistry::Report(const GpibCallStatus& status) {
  auto& r = t_registrations[id_];
  r.last = status;
  const int32_t values[4] = {status.ibsta, status.iberr, status.ibcntl, status.ibcntl};
  for (int i = 0; i < 4; ++i) {
    if (r.vars[i]) *r.vars[i] = values[i];
  }
}

GpibCallStatus ThreadStatusRegistry::Last() const {
  auto it = t_registrations.find(id_);
  return it == t_registrations.end() ? GpibCallStatus{} : it->second.last;
}

}  // namespace parley::detail
