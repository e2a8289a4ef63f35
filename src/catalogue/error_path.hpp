// The error path every operation follows: each step's failure passes the catalogue, whose
// answer says whether the step runs again or the error is raised on.
#pragma once

#include <exception>
#include <functional>
#include <optional>

#include "catalogue/catalogue.hpp"
#include "model/handler_failure.hpp"
#include "parley/enums.hpp"
#include "parley/errors.hpp"

namespace parley::detail {

// Raises `number` from inside the library (the catalogue adds the message later).
[[noreturn]] void Raise(int32_t number);

// Runs one step of an operation under the error path: a failure passes the catalogue; on
// ActionResume the step runs again, on ActionResumeNext the operation goes on after it, on any
// other answer `undo` runs and the error (as the catalogue left it) is raised. A client
// handler's exception (also one thrown by a handler the catalogue's trace entry ran) is not a
// failure of the step: `undo` runs and it goes on unchanged.
template <class Step>
void RunStep(ErrorContext& context, Step&& step, const std::function<void()>& undo = {}) {
  for (;;) {
    // Made only when the step fails: a step that succeeds costs no error object.
    std::optional<AutomationError> failure;
    enumErrorAction action = ActionRaise;
    try {
      try {
        step();
        return;
      } catch (AutomationError& e) {
        failure.emplace(std::move(e));
      } catch (const std::exception& e) {
        failure.emplace(ToAutomationError(e));
      }
      action = HandleError(context, *failure);
    } catch (const HandlerFailure&) {
      if (undo) undo();
      throw;
    }
    if (action == ActionResume) continue;
    if (action == ActionResumeNext) return;
    if (undo) undo();
    throw *failure;
  }
}

// Runs the steps of one operation's level of the error path (each step with the same undo).
using StepRunner = std::function<void(const std::function<void()>&)>;

}  // namespace parley::detail
