// Exclusive and shared access to an engine object for the duration of one call. Every call holds the
// interpreter lock, so the flag needs no atomics; what it catches is re-entry on the same thread, e.g. an
// engine method called again from inside the host's `tf` callable while the first call is running.
#pragma once

#include "py_ref.hpp"

namespace velk_py {

// 0: free; -1: one exclusive holder; n > 0: n shared holders.
struct BorrowFlag {
  long state = 0;
};

class BorrowGuard {
 public:
  // Returns false with RuntimeError set when the object is already in use.
  bool acquire_exclusive(BorrowFlag& flag, const char* type_name) {
    if (flag.state != 0) {
      PyErr_Format(PyExc_RuntimeError, "Already borrowed: %s is in use by another call on this object", type_name);
      return false;
    }
    flag.state = -1;
    flag_ = &flag;
    return true;
  }
  bool acquire_shared(BorrowFlag& flag, const char* type_name) {
    if (flag.state < 0) {
      PyErr_Format(PyExc_RuntimeError, "Already mutably borrowed: %s is in use by another call on this object",
                   type_name);
      return false;
    }
    flag.state += 1;
    flag_ = &flag;
    return true;
  }
  ~BorrowGuard() {
    if (flag_ != nullptr) {
      flag_->state = flag_->state < 0 ? 0 : flag_->state - 1;
    }
  }

 private:
  BorrowFlag* flag_ = nullptr;
};

}  // namespace velk_py
