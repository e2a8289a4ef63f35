#include "parley/thread_owner.hpp"

#include <string>

#include "parley/errors.hpp"

namespace parley {

void ThreadOwner::Claim() {
  std::thread::id unowned;
  if (owner_.compare_exchange_strong(unowned, std::this_thread::get_id())) return;
  if (unowned != std::this_thread::get_id()) Refuse();
}

void ThreadOwner::Refuse() const {
  throw AutomationError(err::InvalidCall, what_,
                        std::string("Invalid procedure call or argument: a ") + what_ +
                            " belongs to the thread that first used it with a KORInterface and "
                            "is called only there.");
}

}  // namespace parley
