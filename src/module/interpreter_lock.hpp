#pragma once

#include <Python.h>

namespace oxa::py {

// Releases the interpreter lock for the life of the scope, so that other
// Python threads run while this one signs or waits for a file. Nothing of
// Python may be touched inside the scope; leaving it, also by an exception,
// takes the lock back before anything else happens.
class ReleasedInterpreterLock {
 public:
  ReleasedInterpreterLock() noexcept : saved_(PyEval_SaveThread()) {}
  ~ReleasedInterpreterLock() { PyEval_RestoreThread(saved_); }
  ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
  ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;

 private:
  PyThreadState* saved_;
};

}  // namespace oxa::py
