#pragma once

#include <Python.h>

namespace oxa::py {

// Releases the interpreter lock for the life of the scope, so that other
// Python threads run while this one signs or waits for a file. Nothing of
// Python may be touched inside the scope; leaving it, also by an exception,
// takes the lock back before anything else happens. Taking it back may end
// the thread (pthread_exit, when the interpreter is shutting down), hence the
// destructor that may throw: the unwinding must pass.
class ReleasedInterpreterLock {
 public:
  ReleasedInterpreterLock() noexcept : saved_(PyEval_SaveThread()) {}
  ~ReleasedInterpreterLock() noexcept(false) { PyEval_RestoreThread(saved_); }
  ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
  ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;

 private:
  PyThreadState* saved_;
};

}  // namespace oxa::py
