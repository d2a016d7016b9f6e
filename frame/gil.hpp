// Releasing the interpreter lock around native parallel work.
#pragma once

#include "frame/ref.hpp"

namespace tessaro::frame {

// Releases the lock only when the calling thread holds it: the exported
// kernels are also called from threads that have no thread state at all.
class ReleasedLock {
 public:
  ReleasedLock() noexcept {
    if (_PyThreadState_UncheckedGet() != nullptr) saved_ = PyEval_SaveThread();
  }
  ~ReleasedLock() {
    if (saved_ != nullptr) PyEval_RestoreThread(saved_);
  }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

 private:
  PyThreadState* saved_ = nullptr;
};

}  // namespace tessaro::frame
