#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <new>

#include "module/panic_exception.hpp"
#include "module/py_ref.hpp"

namespace oxa::py {

// The one place where C++ failures become Python exceptions. Every entry point
// from Python runs its body through here, so no C++ exception ever crosses into
// the interpreter: an already-set Python error passes, memory exhaustion becomes
// MemoryError, and any other fault is reported on stderr and raised as
// PanicException.
//
// One unwinding passes: a thread that takes the interpreter lock back while
// the interpreter shuts down is ended with pthread_exit, whose unwinding must
// run to the thread's end. (That is also why these are not noexcept.)
//
// The forced unwinding is not a C++ object: catching it binds the reference
// to null, which the undefined-behaviour sanitizer would report (and abort on).
template <class Result, class Body>
__attribute__((no_sanitize_undefined)) Result guarded(Result failure, Body&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const ErrorAlreadySet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {  // InternalFault and anything unforeseen
    raise_panic(fault.what());
  } catch (...) {
    raise_panic("unknown internal fault");
  }
  return failure;
}

template <class Body>
PyObject* guarded_object(Body&& body) {
  return guarded<PyObject*>(nullptr, std::forward<Body>(body));
}

template <class Body>
int guarded_status(Body&& body) {
  return guarded<int>(-1, std::forward<Body>(body));
}

}  // namespace oxa::py
