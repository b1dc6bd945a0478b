#include "verify_module/python_values.hpp"

#include "module/py_ref.hpp"

namespace oxa::verify_py {

using py::ErrorAlreadySet;
using py::Ref;

std::string bytes_text(PyObject* object) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(object, &data, &size) != 0) throw ErrorAlreadySet{};
  return std::string(data, static_cast<std::size_t>(size));
}

std::string filesystem_text(PyObject* text) {
  Ref bytes = Ref::steal_or_throw(PyUnicode_EncodeFSDefault(text));
  return bytes_text(bytes.get());
}

std::vector<std::string> text_list(PyObject* list) {
  if (!PyList_Check(list)) {
    PyErr_SetString(PyExc_TypeError, "expected a list of str");
    throw ErrorAlreadySet{};
  }
  const Py_ssize_t size = PyList_Size(list);
  std::vector<std::string> texts;
  texts.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) texts.push_back(filesystem_text(PyList_GetItem(list, i)));
  return texts;
}

}  // namespace oxa::verify_py
