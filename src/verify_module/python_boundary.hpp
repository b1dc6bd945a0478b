#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "module/py_ref.hpp"

namespace oxa::verify_py {

// The error boundary of every entry point of oxa_verify._native: runs `body`
// and returns its result, or null with a Python exception set. An error
// already set passes as it is, std::bad_alloc becomes MemoryError, and any
// other std::exception is first offered to `translate` (which sets its own
// exception and returns true when it knows the error) and otherwise becomes
// RuntimeError with the exception's message.
template <class Body, class Translate>
PyObject* boundary(Body&& body, Translate&& translate) noexcept {
  try {
    return body();
  } catch (const py::ErrorAlreadySet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    if (!translate(e)) PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return nullptr;
}

template <class Body>
PyObject* boundary(Body&& body) noexcept {
  return boundary(body, [](const std::exception&) { return false; });
}

}  // namespace oxa::verify_py
