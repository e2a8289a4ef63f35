// An exception that escaped a client's handler, on its way to the caller of the operation (or of
// Poll / RunFor) that ran the handler.
//
// It is deliberately not a std::exception: the error path and the Ethernet attempt catch the
// library's failures by type, and a client's exception must pass them untouched (never retried,
// never taken for an abandoned attempt, never turned into a catalogue number). The error path
// still undoes its marks on the way out; the public call rethrows the original exception.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <utility>

namespace parley::detail {

struct HandlerFailure {
  std::exception_ptr error;
};

// Runs a client's handler; an exception escaping it travels on as a HandlerFailure.
template <class F>
void RunClientHandler(F&& handler) {
  try {
    std::forward<F>(handler)();
  } catch (const HandlerFailure&) {
    throw;  // from a handler further in: already on its way
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is being ended (pthread_exit, cancellation): never stopped here
  } catch (...) {
    throw HandlerFailure{std::current_exception()};
  }
}

// At a public call's boundary: the handler's exception reaches the caller as it was thrown.
template <class F>
decltype(auto) RethrowHandlerFailure(F&& body) {
  try {
    return std::forward<F>(body)();
  } catch (const HandlerFailure& failure) {
    std::rethrow_exception(failure.error);
  }
}

}  // namespace parley::detail
