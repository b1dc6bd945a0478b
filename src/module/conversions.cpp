#include "module/conversions.hpp"

namespace oxa::py {

namespace {

constexpr const char* unknown_type_name = "<failed to extract type name>";

// Reads a str attribute as UTF-8; false (with no error left set) when it can't.
bool read_text_attribute(PyObject* object, const char* name, std::string& out) {
  Ref value = Ref::steal(PyObject_GetAttrString(object, name));
  if (value && PyUnicode_Check(value.get())) {
    Ref bytes = Ref::steal(PyUnicode_AsUTF8String(value.get()));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (bytes && PyBytes_AsStringAndSize(bytes.get(), &data, &size) == 0) {
      out.assign(data, static_cast<std::size_t>(size));
      return true;
    }
  }
  PyErr_Clear();
  return false;
}

bool attribute_equals(PyObject* object, const char* name, const char* expected) {
  Ref value = Ref::steal(PyObject_GetAttrString(object, name));
  if (!value) {
    PyErr_Clear();
    return false;
  }
  const bool equal = PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value.get(), expected) == 0;
  PyErr_Clear();
  return equal;
}

bool is_numpy_bool(PyObject* object) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  return attribute_equals(type, "__module__", "numpy") &&
         (attribute_equals(type, "__name__", "bool_") || attribute_equals(type, "__name__", "bool"));
}

// Calls the type's __bool__, bound to the object when it is a descriptor.
bool numpy_bool_value(PyObject* object) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  Ref method = Ref::steal(PyObject_GetAttrString(type, "__bool__"));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet{};
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion", type);
    throw ErrorAlreadySet{};
  }
  Ref getter = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(method.get())), "__get__"));
  if (getter) {
    method = Ref::steal_or_throw(PyObject_CallFunctionObjArgs(getter.get(), method.get(), object, type, nullptr));
  } else {
    PyErr_Clear();
  }
  Ref result = Ref::steal_or_throw(PyObject_CallFunctionObjArgs(method.get(), nullptr));
  if (result.get() == Py_True) return true;
  if (result.get() == Py_False) return false;
  fail_type_mismatch(result.get(), flag_target);
}

}  // namespace

std::string type_qualname(PyObject* object) {
  std::string name;
  if (!read_text_attribute(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__", name)) {
    name = unknown_type_name;
  }
  return name;
}

void fail_type_mismatch(PyObject* object, const char* target) {
  const std::string message = "'" + type_qualname(object) + "' object cannot be converted to '" + target + "'";
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw ErrorAlreadySet{};
}

std::string text_value(PyObject* object) {
  if (!PyUnicode_Check(object)) fail_type_mismatch(object, text_target);
  // PyUnicode_AsUTF8AndSize joins the limited API only in 3.10.
  Ref bytes = Ref::steal_or_throw(PyUnicode_AsUTF8String(object));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) throw ErrorAlreadySet{};
  return std::string(data, static_cast<std::size_t>(size));
}

bool flag_value(PyObject* object) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  if (is_numpy_bool(object)) return numpy_bool_value(object);
  fail_type_mismatch(object, flag_target);
}

Ref new_text(std::string_view utf8) {
  return Ref::steal_or_throw(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr));
}

void prefix_argument_type_error(const char* parameter) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref first_type = Ref::steal(type);
  Ref first = Ref::steal(value);
  Ref first_traceback = Ref::steal(traceback);

  Ref first_message = Ref::steal(first ? PyObject_Str(first.get()) : nullptr);
  if (!first_message) return;  // the error of PyObject_Str stays set
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, first_message.get()));
  if (!message) return;
  Ref replacement = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(first.get())) {
    PyException_SetCause(replacement.get(), cause);  // steals the new reference
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace oxa::py
