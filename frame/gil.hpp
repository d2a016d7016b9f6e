// Releasing the interpreter lock around native parallel work.
#pragma once

#include "frame/ref.hpp"

namespace tessaro::frame {

// Whether the calling thread has a thread state, i.e. holds the lock.
// CPython 3.13 made this read public; 3.12 has only the private name.
// PyGILState_Check is no substitute: once a subinterpreter exists it answers
// 1 on every thread, also one without a thread state.
inline bool has_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#else
  return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// Releases the lock only when the calling thread holds it: the exported
// kernels are also called from threads that have no thread state at all.
class ReleasedLock {
 public:
  ReleasedLock() noexcept {
    if (has_thread_state()) saved_ = PyEval_SaveThread();
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
