// oxa_verify._native: the thin bridge from Python to the log verifier. It
// converts arguments, runs the verifier with the interpreter lock released,
// and turns the verifier's errors into Python exceptions; the Python package
// around it checks argument types and builds the report's dict.
#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <vector>

#include "module/py_ref.hpp"
#include "verify/command.hpp"
#include "verify/report_text.hpp"
#include "verify/verifier.hpp"
#include "verify/verify_errors.hpp"
#include "verify_module/notary_entry.hpp"

namespace oxa::verify_py {

namespace {

using py::ErrorAlreadySet;
using py::Ref;

// A str as bytes in the file system's encoding (undecodable bytes of a file
// name come back as they were); any other object raises TypeError.
std::string filesystem_text(PyObject* text) {
  Ref bytes = Ref::steal_or_throw(PyUnicode_EncodeFSDefault(text));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) throw ErrorAlreadySet{};
  return std::string(data, static_cast<std::size_t>(size));
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

// The verifier's outcome, carried out of the region without the interpreter lock.
struct Outcome {
  enum class Failure { none, usage, input, memory, other } failure = Failure::none;
  std::string message;
};

template <class Work>
Outcome without_interpreter_lock(Work&& work) {
  Outcome outcome;
  PyThreadState* state = PyEval_SaveThread();
  try {
    work();
  } catch (const verify::UsageError& e) {
    outcome = {Outcome::Failure::usage, e.what()};
  } catch (const verify::InputError& e) {
    outcome = {Outcome::Failure::input, e.what()};
  } catch (const std::bad_alloc&) {
    outcome.failure = Outcome::Failure::memory;
  } catch (const std::exception& e) {
    outcome = {Outcome::Failure::other, e.what()};
  }
  PyEval_RestoreThread(state);
  return outcome;
}

void raise(const Outcome& outcome) {
  switch (outcome.failure) {
    case Outcome::Failure::none: return;
    case Outcome::Failure::usage: PyErr_SetString(PyExc_ValueError, outcome.message.c_str()); break;
    case Outcome::Failure::input: PyErr_SetString(PyExc_OSError, outcome.message.c_str()); break;
    case Outcome::Failure::memory: PyErr_NoMemory(); break;
    case Outcome::Failure::other: PyErr_SetString(PyExc_RuntimeError, outcome.message.c_str()); break;
  }
  throw ErrorAlreadySet{};
}

template <class Body>
PyObject* boundary(Body&& body) noexcept {
  try {
    return body();
  } catch (const ErrorAlreadySet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return nullptr;
}

// verify(paths: list[str], public_key: str | None, anchors: list[str], jobs: int) -> str
PyObject* verify_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* paths = nullptr;
    PyObject* public_key = nullptr;
    PyObject* anchors = nullptr;
    unsigned int jobs = 0;
    if (!PyArg_ParseTuple(args, "OOOI:verify", &paths, &public_key, &anchors, &jobs)) throw ErrorAlreadySet{};
    verify::VerifyOptions options;
    options.paths = text_list(paths);
    if (public_key != Py_None) options.public_key = filesystem_text(public_key);
    options.anchors = text_list(anchors);
    options.jobs = jobs;
    std::string text;
    raise(without_interpreter_lock([&] { text = verify::report_json(verify::verify_log(options)); }));
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// run_command(args: list[str]) -> int
PyObject* run_command_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* arguments = nullptr;
    if (!PyArg_ParseTuple(args, "O:run_command", &arguments)) throw ErrorAlreadySet{};
    const std::vector<std::string> texts = text_list(arguments);
    int status = verify::exit_usage;
    raise(without_interpreter_lock([&] { status = verify::run_verify_command(texts); }));
    return PyLong_FromLong(status);
  });
}

// run_command_with_report(args: list[str]) -> tuple[int, str | None]
PyObject* run_command_with_report_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* arguments = nullptr;
    if (!PyArg_ParseTuple(args, "O:run_command_with_report", &arguments)) throw ErrorAlreadySet{};
    const std::vector<std::string> texts = text_list(arguments);
    int status = verify::exit_usage;
    std::string json;
    raise(without_interpreter_lock([&] { status = verify::run_verify_command(texts, 1, 2, &json); }));
    if (json.empty()) return Py_BuildValue("(iO)", status, Py_None);
    Ref text = Ref::steal_or_throw(PyUnicode_FromStringAndSize(json.data(), static_cast<Py_ssize_t>(json.size())));
    return Py_BuildValue("(iO)", status, text.get());
  });
}

PyMethodDef methods[] = {
    {"verify", verify_entry, METH_VARARGS,
     "verify(paths, public_key, anchors, jobs)\n--\n\nThe verification report of a log, as JSON text."},
    {"run_command", run_command_entry, METH_VARARGS,
     "run_command(args)\n--\n\nRuns the oxa-verify command; returns its exit status."},
    {"run_command_with_report", run_command_with_report_entry, METH_VARARGS,
     "run_command_with_report(args)\n--\n\nRuns the oxa-verify command; returns its exit status and the "
     "report as JSON text (None when no log was verified)."},
    {"run_notary_command", notary_py::run_notary_command_entry, METH_VARARGS, notary_py::run_notary_command_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "oxa_verify._native", "The native core of oxa_verify.", 0, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace oxa::verify_py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  return PyModule_Create2(&oxa::verify_py::module_definition, PYTHON_ABI_VERSION);
}
