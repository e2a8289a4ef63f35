#include "catalogue/catalogue.hpp"

#include <string>

#include "catalogue/error_path.hpp"
#include "model/access.hpp"
#include "trace/debug_trace.hpp"

namespace parley::detail {
namespace {
constexpr int16_t kUndefinedRetryLimit = 3;

std::string NormalisedSource(const std::string& source) {
  if (source.find("RediDU") != std::string::npos) return source;
  if (source.empty()) return "RediDU";
  return "RediDU." + source;
}

// Decides the answer for "Undefined error.": retried twice, raised on the third report. An
// error that already gave up on an inner level is raised at once, so that nested error paths
// sharing the counter cannot hand a persistent fault back and forth for ever.
enumErrorAction UndefinedErrorAction(ErrorContext& core, AutomationError& error,
                                     std::string& description) {
  // The catalogue raises "Undefined error." only once its retries are used up, so one that
  // already passed it (its Source carries the prefix) has given up on an inner level.
  if (error.Source().find("RediDU") != std::string::npos) return ActionRaise;
  ++core.undefined_retries;
  if (core.undefined_retries < kUndefinedRetryLimit) return ActionResume;
  core.undefined_retries = 0;
  description = std::string(CatalogueMessage(err::UndefinedError));
  return ActionRaise;
}
}  // namespace

enumErrorAction HandleError(ErrorContext& core, AutomationError& error) {
  std::string description = error.Description();
  enumErrorAction action = ActionRaise;
  if (error.Number() == err::UserCanceled) {
    description = std::string(CatalogueMessage(err::UserCanceled));
    ProgressAccess::AckHalt(*core.CurrentProgress());
  } else if (error.Number() == err::UndefinedError) {
    action = UndefinedErrorAction(core, error, description);
  } else if (auto message = CatalogueMessage(error.Number()); !message.empty()) {
    description = std::string(message);
  }
  ErrorAccess::Rewrite(error, NormalisedSource(error.Source()), description);
  core.DebugBuffWrite(kTraceError, std::to_string(error.Number()) + ", " + description);
  return action;
}

void Raise(int32_t number) { throw AutomationError(number, kLibrarySource, ""); }

AutomationError ToAutomationError(const std::exception& e) {
  if (dynamic_cast<const std::bad_alloc*>(&e)) {
    return AutomationError(7, kLibrarySource, "Out of memory");
  }
  return AutomationError(err::InvalidCall, kLibrarySource, e.what());
}

}  // namespace parley::detail
