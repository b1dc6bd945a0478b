// oxa_verify._native: the thin bridge from Python to the log verifier. It
// converts arguments, runs the verifier with the interpreter lock released,
// and turns the verifier's errors into Python exceptions; the Python package
// around it checks argument types and builds the report's dict.
#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "module/py_ref.hpp"
#include "verify/command.hpp"
#include "verify/report_text.hpp"
#include "verify/verifier.hpp"
#include "verify/verify_errors.hpp"
#include "verify_module/notary_entry.hpp"
#include "verify_module/python_boundary.hpp"
#include "verify_module/python_values.hpp"
#include "verify_module/range_values.hpp"
#include "verify_module/witness_entry.hpp"

namespace oxa::verify_py {

namespace {

using py::ErrorAlreadySet;
using py::Ref;

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

std::optional<std::string> optional_text(PyObject* text) {
  if (text == Py_None) return std::nullopt;
  return filesystem_text(text);
}

// The arguments that the command and verify_log share, already typed and
// checked by the Python side:
//   paths, public_key, anchors, jobs, checkpoints, notary_key, require_sealed, continues, max_line_bytes,
//   policy, require_witnessed
struct LogArguments {
  verify::VerifyOptions options;
  verify::NotaryCheckOptions notary;
};

LogArguments log_arguments(PyObject* args, const char* format, int* as_json) {
  PyObject* paths = nullptr;
  PyObject* public_key = nullptr;
  PyObject* anchors = nullptr;
  unsigned int jobs = 0;
  PyObject* checkpoints = nullptr;
  PyObject* notary_key = nullptr;
  int require_sealed = 0;
  int continues = 0;
  unsigned long long max_line_bytes = 0;
  PyObject* policy = nullptr;
  int require_witnessed = 0;
  const bool parsed = as_json != nullptr
                          ? PyArg_ParseTuple(args, format, &paths, &public_key, &anchors, &jobs, &checkpoints,
                                             &notary_key, &require_sealed, &continues, &max_line_bytes, &policy,
                                             &require_witnessed, as_json)
                          : PyArg_ParseTuple(args, format, &paths, &public_key, &anchors, &jobs, &checkpoints,
                                             &notary_key, &require_sealed, &continues, &max_line_bytes, &policy,
                                             &require_witnessed);
  if (!parsed) throw ErrorAlreadySet{};
  LogArguments out;
  out.options.paths = text_list(paths);
  out.options.public_key = optional_text(public_key);
  out.options.anchors = text_list(anchors);
  out.options.jobs = jobs;
  out.options.continues = continues != 0;
  out.options.max_line_bytes = max_line_bytes;
  out.notary.checkpoints = optional_text(checkpoints);
  out.notary.notary_key = optional_text(notary_key);
  out.notary.require_sealed = require_sealed != 0;
  out.notary.policy = optional_text(policy);
  out.notary.require_witnessed = require_witnessed != 0;
  return out;
}

// verify(paths, public_key, anchors, jobs, checkpoints, notary_key, require_sealed, continues, max_line_bytes,
//        policy, require_witnessed) -> str
PyObject* verify_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    const LogArguments parsed = log_arguments(args, "OOOIOOppKOp:verify", nullptr);
    std::string text;
    raise(without_interpreter_lock(
        [&] { text = verify::report_json(verify::verify_everything(parsed.options, parsed.notary)); }));
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// run_verify(paths, ..., max_line_bytes, policy, require_witnessed, as_json) -> int
PyObject* run_verify_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    int as_json = 0;
    const LogArguments parsed = log_arguments(args, "OOOIOOppKOpp:run_verify", &as_json);
    int status = verify::exit_usage;
    raise(without_interpreter_lock(
        [&] { status = verify::run_verify_command(parsed.options, parsed.notary, as_json != 0); }));
    return PyLong_FromLong(status);
  });
}

verify::NotaryCheckOptions proof_arguments(PyObject* proof, PyObject* notary_key, PyObject* policy,
                                           verify::VerifyOptions& options, PyObject* public_key) {
  verify::NotaryCheckOptions notary;
  notary.proof = filesystem_text(proof);
  notary.notary_key = optional_text(notary_key);
  notary.policy = optional_text(policy);
  options.public_key = optional_text(public_key);
  return notary;
}

// verify_proof(proof, public_key, notary_key, policy) -> str
PyObject* verify_proof_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* proof = nullptr;
    PyObject* public_key = nullptr;
    PyObject* notary_key = nullptr;
    PyObject* policy = nullptr;
    if (!PyArg_ParseTuple(args, "OOOO:verify_proof", &proof, &public_key, &notary_key, &policy))
      throw ErrorAlreadySet{};
    verify::VerifyOptions options;
    const verify::NotaryCheckOptions notary = proof_arguments(proof, notary_key, policy, options, public_key);
    std::string text;
    raise(without_interpreter_lock([&] { text = verify::verify_proof(options, notary).json; }));
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// run_proof(proof, public_key, notary_key, policy, as_json) -> int
PyObject* run_proof_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* proof = nullptr;
    PyObject* public_key = nullptr;
    PyObject* notary_key = nullptr;
    PyObject* policy = nullptr;
    int as_json = 0;
    if (!PyArg_ParseTuple(args, "OOOOp:run_proof", &proof, &public_key, &notary_key, &policy, &as_json)) {
      throw ErrorAlreadySet{};
    }
    verify::VerifyOptions options;
    const verify::NotaryCheckOptions notary = proof_arguments(proof, notary_key, policy, options, public_key);
    int status = verify::exit_usage;
    raise(without_interpreter_lock([&] { status = verify::run_verify_command(options, notary, as_json != 0); }));
    return PyLong_FromLong(status);
  });
}

// run_verify_with_report(paths, ..., max_line_bytes, as_json) -> (int, str | None): as run_verify, and
// the log's report as JSON text too (None when no log report was made).
PyObject* run_verify_with_report_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    int as_json = 0;
    const LogArguments parsed = log_arguments(args, "OOOIOOppKOpp:run_verify_with_report", &as_json);
    int status = verify::exit_usage;
    std::string json;
    raise(without_interpreter_lock(
        [&] { status = verify::run_verify_command(parsed.options, parsed.notary, as_json != 0, 1, 2, &json); }));
    if (json.empty()) return Py_BuildValue("(iO)", status, Py_None);
    Ref text = Ref::steal_or_throw(PyUnicode_FromStringAndSize(json.data(), static_cast<Py_ssize_t>(json.size())));
    return Py_BuildValue("(iO)", status, text.get());
  });
}

// check_range(path, base, start, end, public_key, key_file, jobs, max_line_bytes) -> tuple: the signatures of
// the lines of a single-piece log that begin in [start, end), as range_value() gives them.
PyObject* check_range_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* path = nullptr;
    unsigned long long base = 0, start = 0, end = 0, max_line_bytes = 0;
    PyObject* public_key = nullptr;
    PyObject* key_file = nullptr;
    unsigned int jobs = 0;
    if (!PyArg_ParseTuple(args, "OKKKOOIK:check_range", &path, &base, &start, &end, &public_key, &key_file, &jobs,
                          &max_line_bytes)) {
      throw ErrorAlreadySet{};
    }
    verify::RangeOptions options;
    options.path = filesystem_text(path);
    options.base = base;
    options.start = start;
    options.end = end;
    options.public_key = optional_text(public_key);
    if (!options.public_key) options.key_file = filesystem_text(key_file);
    options.jobs = jobs;
    options.max_line_bytes = max_line_bytes;
    verify::CheckedRange range;
    raise(without_interpreter_lock([&] { range = verify::check_range(options); }));
    return range_value(range);
  });
}

// verify_checked(paths, ..., policy, require_witnessed, ranges[, bounds]) -> str: as verify, the signatures
// taken from checked ranges: a list of them, or a callable that gives it once every line was read, with the
// ranges' planned bounds.
PyObject* verify_checked_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    constexpr Py_ssize_t log_argument_count = 11;
    const Py_ssize_t given = PyTuple_Size(args);
    if (given != log_argument_count + 1 && given != log_argument_count + 2) {
      PyErr_SetString(PyExc_TypeError,
                      "verify_checked takes the 11 arguments of verify and the checked ranges (a list, or a "
                      "callable and the planned bounds)");
      throw ErrorAlreadySet{};
    }
    Ref log_args = Ref::steal_or_throw(PyTuple_GetSlice(args, 0, log_argument_count));
    LogArguments parsed = log_arguments(log_args.get(), "OOOIOOppKOp:verify_checked", nullptr);
    if (given == log_argument_count + 2) {
      parsed.options.pending_ranges = range_source(PyTuple_GetItem(args, log_argument_count));
      parsed.options.pending_bounds = range_bounds(PyTuple_GetItem(args, log_argument_count + 1));
    } else {
      parsed.options.checked_ranges = range_list(PyTuple_GetItem(args, log_argument_count));
    }
    std::string text;
    raise(without_interpreter_lock(
        [&] { text = verify::report_json(verify::verify_everything(parsed.options, parsed.notary)); }));
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyMethodDef methods[] = {
    {"verify", verify_entry, METH_VARARGS,
     "verify(paths, public_key, anchors, jobs, checkpoints, notary_key, require_sealed, continues, max_line_bytes, "
     "policy, require_witnessed)\n--\n\n"
     "The verification report of a log, as JSON text."},
    {"run_verify", run_verify_entry, METH_VARARGS,
     "run_verify(paths, public_key, anchors, jobs, checkpoints, notary_key, require_sealed, continues, max_line_bytes, "
     "policy, require_witnessed, as_json)"
     "\n--\n\nVerifies a log and prints its report as oxa-verify does; returns the exit status."},
    {"verify_proof", verify_proof_entry, METH_VARARGS,
     "verify_proof(proof, public_key, notary_key, policy)\n--\n\nThe report of a proof file, as JSON text."},
    {"run_proof", run_proof_entry, METH_VARARGS,
     "run_proof(proof, public_key, notary_key, policy, as_json)\n--\n\n"
     "Checks a proof file and prints its report as oxa-verify does; returns the exit status."},
    {"run_verify_with_report", run_verify_with_report_entry, METH_VARARGS,
     "run_verify_with_report(paths, public_key, anchors, jobs, checkpoints, notary_key, require_sealed, continues, "
     "max_line_bytes, policy, require_witnessed, as_json)\n--\n\nAs run_verify; returns the exit status and the log's report as JSON text "
     "(None when no log report was made)."},
    {"check_range", check_range_entry, METH_VARARGS,
     "check_range(path, base, start, end, public_key, key_file, jobs, max_line_bytes)\n--\n\n"
     "The signature checks of the lines of a one-piece log that begin in [start, end), as a small tuple."},
    {"verify_checked", verify_checked_entry, METH_VARARGS,
     "verify_checked(paths, public_key, anchors, jobs, checkpoints, notary_key, require_sealed, continues, "
     "max_line_bytes, policy, require_witnessed, ranges, bounds=None)\n--\n\nAs verify, with the signatures taken "
     "from the checked byte ranges: a list, or a callable that gives it at the end, with the planned bounds."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "oxa_verify._native", "The native core of oxa_verify.", 0, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace oxa::verify_py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  PyObject* module = PyModule_Create2(&oxa::verify_py::module_definition, PYTHON_ABI_VERSION);
  // The oxa-notary commands live beside the verifier's, and the witness's beside both.
  if (module && PyModule_AddFunctions(module, oxa::notary_py::notary_methods) != 0) {
    Py_DecRef(module);
    return nullptr;
  }
  return oxa::witness_py::add_witness_functions(module);
}
