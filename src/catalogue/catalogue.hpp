// HandleError: the one place where error numbers get their messages.
#pragma once

#include <exception>

#include "model/link_context.hpp"
#include "parley/enums.hpp"
#include "parley/errors.hpp"

namespace parley::detail {

// The catalogue: prefixes the Source with "RediDU" once, supplies the message, acknowledges a
// user halt, counts "Undefined error." retries, records an "ERRR" trace entry, and answers
// whether the failed step runs again (ActionResume) or the error is raised (ActionRaise).
enumErrorAction HandleError(ErrorContext& context, AutomationError& error);

// An exception from outside the library (std::bad_alloc, ...) as an automation error.
AutomationError ToAutomationError(const std::exception& e);

}  // namespace parley::detail
