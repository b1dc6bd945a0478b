#include "verify_module/notary_entry.hpp"

#include <exception>
#include <new>
#include <string>
#include <vector>

#include "module/py_ref.hpp"
#include "notary/notary_cli.hpp"

namespace oxa::notary_py {

namespace {

using py::ErrorAlreadySet;
using py::Ref;

std::vector<std::string> argument_texts(PyObject* list) {
  const Py_ssize_t size = PyList_Size(list);
  std::vector<std::string> texts;
  for (Py_ssize_t i = 0; i < size; ++i) {
    // File names come back as their bytes, undecodable ones included.
    Ref bytes = Ref::steal_or_throw(PyUnicode_EncodeFSDefault(PyList_GetItem(list, i)));
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &length) != 0) throw ErrorAlreadySet{};
    texts.emplace_back(data, static_cast<std::size_t>(length));
  }
  return texts;
}

}  // namespace

PyObject* run_notary_command_entry(PyObject*, PyObject* args) {
  PyObject* list = nullptr;
  if (!PyArg_ParseTuple(args, "O!:run_notary_command", &PyList_Type, &list)) return nullptr;
  std::vector<std::string> texts;
  try {
    texts = argument_texts(list);
  } catch (const ErrorAlreadySet&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }

  int status = notary::notary_exit_usage;
  bool stopped = false;
  bool out_of_memory = false;
  std::string failure;
  PyThreadState* state = PyEval_SaveThread();
  try {
    status = notary::run_notary_command(texts, [&stopped] {
      // The lock is taken only for the signal check, a few times a second.
      const PyGILState_STATE held = PyGILState_Ensure();
      if (PyErr_CheckSignals() != 0) {
        PyErr_Clear();
        stopped = true;
      }
      PyGILState_Release(held);
      return stopped;
    });
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  } catch (const std::exception& error) {
    failure = error.what();
    if (failure.empty()) failure = "oxa-notary failed";
  }
  PyEval_RestoreThread(state);
  if (out_of_memory) return PyErr_NoMemory();
  if (!failure.empty()) {
    PyErr_SetString(PyExc_RuntimeError, failure.c_str());
    return nullptr;
  }
  return PyLong_FromLong(status);
}

}  // namespace oxa::notary_py
