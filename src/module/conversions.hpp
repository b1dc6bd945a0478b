#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "module/py_ref.hpp"

namespace oxa::py {

inline constexpr const char* text_target = "PyString";
inline constexpr const char* flag_target = "PyBool";

// The `__qualname__` of the object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* object);

// Sets TypeError "'T' object cannot be converted to 'TARGET'" and throws.
[[noreturn]] void fail_type_mismatch(PyObject* object, const char* target);

// Text: a str or a str subclass, taken as UTF-8. A lone surrogate fails with
// the interpreter's UnicodeEncodeError, unchanged.
std::string text_value(PyObject* object);

// Flag: exactly True or False, or a NumPy boolean scalar.
bool flag_value(PyObject* object);

// A new str from UTF-8 text that the system owns.
Ref new_text(std::string_view utf8);

// Runs one conversion for the named parameter. A TypeError it raises becomes a
// new TypeError "argument 'NAME': MESSAGE" whose __cause__ is the first error's
// __cause__; other errors pass unchanged.
void prefix_argument_type_error(const char* parameter);

template <class Convert>
auto convert_argument(const char* parameter, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const ErrorAlreadySet&) {
    prefix_argument_type_error(parameter);
    throw;
  }
}

inline std::string text_argument(const char* parameter, PyObject* object) {
  return convert_argument(parameter, [&] { return text_value(object); });
}

inline bool flag_argument(const char* parameter, PyObject* object) {
  return convert_argument(parameter, [&] { return flag_value(object); });
}

}  // namespace oxa::py
