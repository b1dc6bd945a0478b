#pragma once

#include <Python.h>

#include <string_view>

namespace oxa::py {

// The exception class every internal fault reaches Python as; created once
// per process on first need. Returns a borrowed reference, or null with an
// error set.
PyObject* panic_exception_type();

// Writes the fault's message to the process's standard error stream and sets
// PanicException with the message as its only argument.
void raise_panic(std::string_view message);

}  // namespace oxa::py
