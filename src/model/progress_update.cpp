#include "model/progress_update.hpp"

#include "model/access.hpp"

namespace parley::detail {

bool UpdateProgress(KORProgress& progress, std::string_view status, int16_t max, int16_t value,
                    bool halt_enabled) {
  bool changed = false;
  if (progress.HaltEnabled() != halt_enabled) {
    ProgressAccess::SetHaltEnabled(progress, halt_enabled);
    changed = true;
  }
  if (progress.max() != max) {
    ProgressAccess::SetMax(progress, max);
    changed = true;
  }
  if (progress.Value() != value) {
    ProgressAccess::SetValue(progress, value);
    changed = true;
  }
  if (progress.status() != status) {
    ProgressAccess::SetStatus(progress, status);
    changed = true;
  }
  if (changed) ProgressAccess::RaiseUpdate(progress);
  return ProgressAccess::HaltRequested(progress);
}

}  // namespace parley::detail
