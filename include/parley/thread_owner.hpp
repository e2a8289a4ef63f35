// The thread a record of the library belongs to once an interface has used it.
#pragma once

#include <atomic>
#include <thread>

#include "parley/export.hpp"

namespace parley {

// Unowned until an interface first uses the object; from then on only that thread may call it.
// A copy is a new object and belongs to no thread yet.
class PARLEY_API ThreadOwner {
 public:
  explicit ThreadOwner(const char* what) : what_(what) {}
  ThreadOwner(const ThreadOwner& other) : what_(other.what_) {}
  ThreadOwner& operator=(const ThreadOwner&) {
    Check();
    return *this;
  }

  // Error 5 (Source `what`) from a thread other than the owner.
  void Check() const {
    auto owner = owner_.load(std::memory_order_acquire);
    if (owner != std::thread::id() && owner != std::this_thread::get_id()) Refuse();
  }
  // The calling thread takes the object, unless another thread has: error 5.
  void Claim();

 private:
  [[noreturn]] void Refuse() const;
  const char* what_;
  std::atomic<std::thread::id> owner_{};
};

}  // namespace parley
