#pragma once

#include <Python.h>

#include <string>
#include <vector>

namespace oxa::verify_py {

// Conversions of the arguments that the entry points of oxa_verify._native
// share. Each throws py::ErrorAlreadySet with a Python exception set when
// the object cannot be converted.

// The contents of a bytes object; any other object raises TypeError.
std::string bytes_text(PyObject* object);

// A str as bytes in the file system's encoding: undecodable bytes of a file
// name (or of an origin, refused later) come back as they were given. Any
// other object raises TypeError.
std::string filesystem_text(PyObject* text);

// A list of str, each as filesystem_text gives it; anything but a list
// raises TypeError.
std::vector<std::string> text_list(PyObject* list);

}  // namespace oxa::verify_py
