// HandleError and the error path every operation follows.
#pragma once

#include <exception>
#include <functional>
#include <new>

#include "interface/core.hpp"
#include "parley/enums.hpp"
#include "parley/errors.hpp"

namespace parley::detail {

// The catalogue: prefixes the Source with "RediDU" once, supplies the message, acknowledges a
// user halt, counts "Undefined error." retries, records an "ERRR" trace entry, and answers
// whether the failed step runs again (ActionResume) or the error is raised (ActionRaise).
enumErrorAction HandleError(InterfaceCore& core, AutomationError& error);

// An exception from outside the library (std::bad_alloc, ...) as an automation error.
AutomationError ToAutomationError(const std::exception& e);

// Runs one step of an operation under the error path: a failure passes the catalogue; on
// ActionResume the step runs again, on ActionResumeNext the operation goes on after it, on any
// other answer `undo` runs and the error (as the catalogue left it) is raised.
template <class Step>
void RunStep(InterfaceCore& core, Step&& step, const std::function<void()>& undo = {}) {
  for (;;) {
    AutomationError failure(0, "", "");
    try {
      step();
      return;
    } catch (AutomationError& e) {
      failure = std::move(e);
    } catch (const std::exception& e) {
      failure = ToAutomationError(e);
    }
    enumErrorAction action = HandleError(core, failure);
    if (action == ActionResume) continue;
    if (action == ActionResumeNext) return;
    if (undo) undo();
    throw failure;
  }
}

// Runs the steps of one operation's level of the error path (each step with the same undo).
using StepRunner = std::function<void(const std::function<void()>&)>;

}  // namespace parley::detail
