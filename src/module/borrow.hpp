#pragma once

#include <Python.h>

#include "module/py_ref.hpp"

namespace oxa::py {

inline constexpr const char* already_borrowed_message = "Already borrowed";
inline constexpr const char* already_mutably_borrowed_message = "Already mutably borrowed";

// Holds a shared or exclusive borrow of one instance's borrow counter
// (0 free, -1 exclusive, n > 0 shared by n readers) and releases it on every
// path out of the operation.
class BorrowGuard {
 public:
  static BorrowGuard shared(Py_ssize_t& count) {
    if (count == -1) {
      PyErr_SetString(PyExc_RuntimeError, already_mutably_borrowed_message);
      throw ErrorAlreadySet{};
    }
    ++count;
    return BorrowGuard(&count, false);
  }

  static BorrowGuard exclusive(Py_ssize_t& count) {
    if (count != 0) {
      PyErr_SetString(PyExc_RuntimeError, already_borrowed_message);
      throw ErrorAlreadySet{};
    }
    count = -1;
    return BorrowGuard(&count, true);
  }

  BorrowGuard(BorrowGuard&& other) noexcept : count_(other.count_), exclusive_(other.exclusive_) {
    other.count_ = nullptr;
  }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  BorrowGuard& operator=(BorrowGuard&&) = delete;

  ~BorrowGuard() {
    if (count_ == nullptr) return;
    if (exclusive_) {
      *count_ = 0;
    } else {
      --*count_;
    }
  }

 private:
  BorrowGuard(Py_ssize_t* count, bool exclusive) : count_(count), exclusive_(exclusive) {}
  Py_ssize_t* count_;
  bool exclusive_;
};

}  // namespace oxa::py
