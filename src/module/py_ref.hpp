#pragma once

#include <Python.h>

#include <utility>

namespace oxa::py {

// Thrown when a Python exception is already set and the operation must end;
// the entry point's error boundary turns it into a null return.
struct ErrorAlreadySet {};

// Owner of one strong reference, released through the stable-ABI Py_DecRef.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference; null means a Python error is set.
  static Ref steal_or_throw(PyObject* object) {
    if (object == nullptr) throw ErrorAlreadySet{};
    return Ref(object);
  }
  static Ref steal(PyObject* object) { return Ref(object); }
  static Ref borrow(PyObject* object) {
    Py_IncRef(object);
    return Ref(object);
  }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_DecRef(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  // Once the interpreter is finalising, a daemon thread that takes its lock
  // back is ended by an unwinding (pthread_exit) that runs these destructors
  // without the lock; a reference dropped then could free an object under
  // the finalising thread. The process is ending: the reference is kept.
  ~Ref() {
    if (object_ != nullptr && Py_IsInitialized()) Py_DecRef(object_);
  }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace oxa::py
