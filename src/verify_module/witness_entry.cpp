#include "verify_module/witness_entry.hpp"

#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "module/py_ref.hpp"
#include "tlog/cosignature.hpp"
#include "tlog/policy.hpp"
#include "tlog/signed_note.hpp"
#include "verify_module/python_boundary.hpp"
#include "verify_module/python_values.hpp"
#include "witness/add_checkpoint.hpp"

namespace oxa::witness_py {

namespace {

using py::ErrorAlreadySet;
using py::Ref;
using verify_py::bytes_text;
using verify_py::filesystem_text;

constexpr const char* witness_capsule_name = "oxa_verify._native.Witness";
constexpr const char* submission_capsule_name = "oxa_verify._native.Submission";

// The shared error boundary, with a key file's error as ValueError.
template <class Body>
PyObject* boundary(Body&& body) noexcept {
  return verify_py::boundary(body, [](const std::exception& error) {
    const auto* key_error = dynamic_cast<const tlog::KeyError*>(&error);
    if (key_error == nullptr) return false;
    // The key file code names its files as the notary's; the file here is
    // the witness's own.
    std::string message = key_error->what();
    constexpr std::string_view notary_prefix = "notary key file ";
    if (message.compare(0, notary_prefix.size(), notary_prefix) == 0)
      message.replace(0, notary_prefix.size(), "witness key file ");
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return true;
  });
}

// Runs `work` with the interpreter lock released; exceptions pass after the
// lock is taken back.
template <class Work>
void without_interpreter_lock(Work&& work) {
  PyThreadState* state = PyEval_SaveThread();
  try {
    work();
  } catch (...) {
    PyEval_RestoreThread(state);
    throw;
  }
  PyEval_RestoreThread(state);
}

PyObject* text_object(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* bytes_object(const void* data, std::size_t size) {
  return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size));
}

[[noreturn]] void raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  throw ErrorAlreadySet{};
}

tlog::Policy parse_policy_or_raise(const std::string& text, tlog::PolicyScope scope) {
  tlog::Policy policy;
  if (std::string error = tlog::parse_policy(text, scope, policy); !error.empty())
    raise_value_error("policy: " + error);
  return policy;
}

template <class T>
T* capsule_pointer(PyObject* capsule, const char* name) {
  auto* pointer = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (pointer == nullptr) throw ErrorAlreadySet{};
  return pointer;
}

void delete_witness(PyObject* capsule) {
  delete static_cast<witness::Witness*>(PyCapsule_GetPointer(capsule, witness_capsule_name));
}

void delete_submission(PyObject* capsule) {
  delete static_cast<witness::Submission*>(PyCapsule_GetPointer(capsule, submission_capsule_name));
}

// witness_keygen(path: str, name: str) -> str
PyObject* keygen_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* path = nullptr;
    const char* name = nullptr;
    if (!PyArg_ParseTuple(args, "Us:witness_keygen", &path, &name)) throw ErrorAlreadySet{};
    const std::string file = filesystem_text(path);
    const std::string key_name = name;
    std::string vkey;
    without_interpreter_lock([&] {
      tlog::generate_key_file(file, key_name);
      const auto signer = tlog::read_key_file(file);
      vkey = tlog::format_cosignature_vkey(signer->name(), signer->verifier().public_key);
    });
    return text_object(vkey);
  });
}

// witness_vkey(path: str) -> str
PyObject* vkey_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* path = nullptr;
    if (!PyArg_ParseTuple(args, "U:witness_vkey", &path)) throw ErrorAlreadySet{};
    const std::string file = filesystem_text(path);
    std::string vkey;
    without_interpreter_lock([&] {
      const auto signer = tlog::read_key_file(file);
      vkey = tlog::format_cosignature_vkey(signer->name(), signer->verifier().public_key);
    });
    return text_object(vkey);
  });
}

// witness_new(key_path: str, policy: bytes) -> (capsule, vkey: str, origins: list[str])
PyObject* new_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* path = nullptr;
    PyObject* policy_text = nullptr;
    if (!PyArg_ParseTuple(args, "US:witness_new", &path, &policy_text)) throw ErrorAlreadySet{};
    const std::string file = filesystem_text(path);
    const tlog::Policy policy = parse_policy_or_raise(bytes_text(policy_text), tlog::PolicyScope::logs_only);
    if (policy.logs.empty()) raise_value_error("policy: it names no log (log <vkey> lines)");
    std::unique_ptr<tlog::NoteSigner> signer;
    without_interpreter_lock([&] { signer = tlog::read_key_file(file); });
    std::vector<tlog::NoteVerifier> keys;
    for (const tlog::PolicyLog& log : policy.logs) keys.push_back(log.key);
    auto owned = std::make_unique<witness::Witness>(std::move(signer), std::move(keys));
    const std::string vkey = owned->vkey();
    Ref capsule = Ref::steal_or_throw(PyCapsule_New(owned.get(), witness_capsule_name, delete_witness));
    owned.release();
    Ref origins = Ref::steal_or_throw(PyList_New(0));
    for (const tlog::PolicyLog& log : policy.logs) {
      Ref origin = Ref::steal_or_throw(text_object(log.key.name));
      if (PyList_Append(origins.get(), origin.get()) != 0) throw ErrorAlreadySet{};
    }
    Ref vkey_object = Ref::steal_or_throw(text_object(vkey));
    return PyTuple_Pack(3, capsule.get(), vkey_object.get(), origins.get());
  });
}

// witness_open_request(witness, body: bytes)
//   -> (status: int, message: str, origin: bytes, old_size: int, size: int, root: bytes, submission)
// A status other than 200 is the answer; origin, sizes, root and submission
// are then None.
PyObject* open_request_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* capsule = nullptr;
    PyObject* body_object = nullptr;
    if (!PyArg_ParseTuple(args, "OS:witness_open_request", &capsule, &body_object)) throw ErrorAlreadySet{};
    const auto* owner = capsule_pointer<witness::Witness>(capsule, witness_capsule_name);
    const std::string body = bytes_text(body_object);
    auto submission = std::make_unique<witness::Submission>();
    without_interpreter_lock([&] { *submission = owner->open(body); });
    if (submission->status != witness::Status::ok) {
      Ref message = Ref::steal_or_throw(text_object(submission->message));
      return Py_BuildValue("(iOOOOOO)", static_cast<int>(submission->status), message.get(), Py_None, Py_None,
                           Py_None, Py_None, Py_None);
    }
    const witness::Submission& s = *submission;
    Ref origin = Ref::steal_or_throw(bytes_object(s.checkpoint.origin.data(), s.checkpoint.origin.size()));
    Ref root = Ref::steal_or_throw(bytes_object(s.checkpoint.root.data(), s.checkpoint.root.size()));
    Ref old_size = Ref::steal_or_throw(PyLong_FromUnsignedLongLong(s.old_size));
    Ref size = Ref::steal_or_throw(PyLong_FromUnsignedLongLong(s.checkpoint.size));
    Ref held = Ref::steal_or_throw(PyCapsule_New(submission.get(), submission_capsule_name, delete_submission));
    submission.release();
    return Py_BuildValue("(isOOOOO)", 200, "", origin.get(), old_size.get(), size.get(), root.get(), held.get());
  });
}

// witness_extends(submission, stored_size: int, stored_root: bytes | None) -> int
// 200, or the 409 or 422 answer.
PyObject* extends_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* capsule = nullptr;
    unsigned long long stored_size = 0;
    PyObject* stored_root = nullptr;
    if (!PyArg_ParseTuple(args, "OKO:witness_extends", &capsule, &stored_size, &stored_root))
      throw ErrorAlreadySet{};
    const auto* submission = capsule_pointer<witness::Submission>(capsule, submission_capsule_name);
    witness::StoredCheckpoint stored;
    stored.size = stored_size;
    if (stored_root != Py_None) {
      const std::string root = bytes_text(stored_root);
      if (root.size() != tlog::tree_hash_bytes) raise_value_error("a stored root is 32 bytes");
      tlog::TreeHash& into = stored.root.emplace();
      std::copy(root.begin(), root.end(), into.begin());
    }
    witness::Status status = witness::Status::ok;
    without_interpreter_lock([&] { status = witness::Witness::extends(*submission, stored); });
    return PyLong_FromLong(static_cast<long>(status));
  });
}

// witness_cosign(witness, submission, timestamp: int) -> str
PyObject* cosign_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* witness_capsule = nullptr;
    PyObject* submission_capsule = nullptr;
    unsigned long long timestamp = 0;
    if (!PyArg_ParseTuple(args, "OOK:witness_cosign", &witness_capsule, &submission_capsule, &timestamp))
      throw ErrorAlreadySet{};
    const auto* owner = capsule_pointer<witness::Witness>(witness_capsule, witness_capsule_name);
    const auto* submission = capsule_pointer<witness::Submission>(submission_capsule, submission_capsule_name);
    if (timestamp > tlog::cosignature_timestamp_limit) raise_value_error("the timestamp is out of range");
    std::string line;
    without_interpreter_lock([&] { line = owner->cosign(submission->checkpoint_text, timestamp); });
    return text_object(line);
  });
}

// policy_check(policy: bytes) -> None: raises ValueError naming the fault.
PyObject* policy_check_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* text = nullptr;
    if (!PyArg_ParseTuple(args, "S:policy_check", &text)) throw ErrorAlreadySet{};
    parse_policy_or_raise(bytes_text(text), tlog::PolicyScope::complete);
    Py_IncRef(Py_None);
    return Py_None;
  });
}

// policy_quorum(policy: bytes, cosigned: list[str]) -> bool: whether the
// witnesses named (by their names in the policy) meet its quorum.
PyObject* policy_quorum_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* text = nullptr;
    PyObject* names = nullptr;
    if (!PyArg_ParseTuple(args, "SO!:policy_quorum", &text, &PyList_Type, &names)) throw ErrorAlreadySet{};
    const tlog::Policy policy = parse_policy_or_raise(bytes_text(text), tlog::PolicyScope::complete);
    std::unique_ptr<bool[]> cosigned(new bool[policy.witnesses.size() + 1]());
    for (Py_ssize_t i = 0; i < PyList_Size(names); ++i) {
      Ref utf8 = Ref::steal_or_throw(PyUnicode_AsUTF8String(PyList_GetItem(names, i)));
      const std::string name = bytes_text(utf8.get());
      std::size_t w = 0;
      while (w < policy.witnesses.size() && policy.witnesses[w].name != name) ++w;
      if (w == policy.witnesses.size()) raise_value_error("\"" + name + "\" is not a witness of the policy");
      cosigned[w] = true;
    }
    return PyBool_FromLong(tlog::quorum_met(policy, {cosigned.get(), policy.witnesses.size()}));
  });
}

// policy_cosignatures(policy: bytes, note: bytes) -> (verified: list[str], bad: list[str]):
// the policy's witnesses (by their names in the policy) whose cosignatures on
// the note verify, and those with a cosignature line that does not.
PyObject* policy_cosignatures_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* text = nullptr;
    PyObject* note_object = nullptr;
    if (!PyArg_ParseTuple(args, "SS:policy_cosignatures", &text, &note_object)) throw ErrorAlreadySet{};
    const tlog::Policy policy = parse_policy_or_raise(bytes_text(text), tlog::PolicyScope::complete);
    const std::string note = bytes_text(note_object);
    std::vector<tlog::CosignatureCheck> checks;
    without_interpreter_lock([&] {
      for (const tlog::PolicyWitness& w : policy.witnesses) checks.push_back(tlog::check_cosignature(note, w.key));
    });
    Ref verified = Ref::steal_or_throw(PyList_New(0));
    Ref bad = Ref::steal_or_throw(PyList_New(0));
    for (std::size_t i = 0; i < checks.size(); ++i) {
      if (checks[i] == tlog::CosignatureCheck::absent) continue;
      Ref name = Ref::steal_or_throw(text_object(policy.witnesses[i].name));
      PyObject* into = checks[i] == tlog::CosignatureCheck::verified ? verified.get() : bad.get();
      if (PyList_Append(into, name.get()) != 0) throw ErrorAlreadySet{};
    }
    return PyTuple_Pack(2, verified.get(), bad.get());
  });
}

}  // namespace

PyMethodDef witness_methods[] = {
    {"witness_keygen", keygen_entry, METH_VARARGS,
     "witness_keygen(path, name)\n--\n\nWrites a new witness key; returns its verifier key."},
    {"witness_vkey", vkey_entry, METH_VARARGS,
     "witness_vkey(path)\n--\n\nThe verifier key of a witness key file."},
    {"witness_new", new_entry, METH_VARARGS,
     "witness_new(key_path, policy)\n--\n\nA witness: (handle, its verifier key, the accepted origins)."},
    {"witness_open_request", open_request_entry, METH_VARARGS,
     "witness_open_request(witness, body)\n--\n\nParses an add-checkpoint body and checks its signatures."},
    {"witness_extends", extends_entry, METH_VARARGS,
     "witness_extends(submission, stored_size, stored_root)\n--\n\n200, 409 or 422 against the stored state."},
    {"witness_cosign", cosign_entry, METH_VARARGS,
     "witness_cosign(witness, submission, timestamp)\n--\n\nThe cosignature line of a checked submission."},
    {"policy_check", policy_check_entry, METH_VARARGS,
     "policy_check(policy)\n--\n\nRaises ValueError when the policy text is not valid."},
    {"policy_quorum", policy_quorum_entry, METH_VARARGS,
     "policy_quorum(policy, cosigned)\n--\n\nWhether the named witnesses meet the policy's quorum."},
    {"policy_cosignatures", policy_cosignatures_entry, METH_VARARGS,
     "policy_cosignatures(policy, note)\n--\n\nThe policy's witnesses whose cosignatures on the note verify, and those whose do not."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* add_witness_functions(PyObject* module) {
  if (module != nullptr && PyModule_AddFunctions(module, witness_methods) != 0) {
    Py_DecRef(module);
    return nullptr;
  }
  return module;
}

}  // namespace oxa::witness_py
