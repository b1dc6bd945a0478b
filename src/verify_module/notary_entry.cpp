#include "verify_module/notary_entry.hpp"

#include <algorithm>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "module/py_ref.hpp"
#include "notary/notary_cli.hpp"
#include "notary/notary_commands.hpp"
#include "notary/tile_proofs.hpp"
#include "tlog/merkle_tree.hpp"

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

PyObject* consistency_proof_entry(PyObject*, PyObject* args) {
  PyObject* directory_text = nullptr;
  unsigned long long old_size = 0;
  unsigned long long new_size = 0;
  if (!PyArg_ParseTuple(args, "UKK:consistency_proof", &directory_text, &old_size, &new_size)) return nullptr;
  std::string directory;
  try {
    Ref bytes = Ref::steal_or_throw(PyUnicode_EncodeFSDefault(directory_text));
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &length) != 0) return nullptr;
    directory.assign(data, static_cast<std::size_t>(length));
  } catch (const ErrorAlreadySet&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  std::string out;
  std::string failure;
  bool out_of_memory = false;
  PyThreadState* state = PyEval_SaveThread();
  try {
    for (const tlog::TreeHash& hash : notary::consistency_from_tiles(directory, old_size, new_size))
      out.append(reinterpret_cast<const char*>(hash.data()), hash.size());
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  } catch (const std::exception& error) {
    failure = error.what();
    if (failure.empty()) failure = "no consistency proof";
  }
  PyEval_RestoreThread(state);
  if (out_of_memory) return PyErr_NoMemory();
  if (!failure.empty()) {
    PyErr_SetString(PyExc_ValueError, failure.c_str());
    return nullptr;
  }
  return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject* check_consistency_entry(PyObject*, PyObject* args) {
  unsigned long long old_size = 0;
  unsigned long long new_size = 0;
  PyObject* old_object = nullptr;
  PyObject* new_object = nullptr;
  PyObject* proof_object = nullptr;
  if (!PyArg_ParseTuple(args, "KSKSS:check_consistency", &old_size, &old_object, &new_size, &new_object,
                        &proof_object))
    return nullptr;
  char* old_root = nullptr;
  char* new_root = nullptr;
  char* proof = nullptr;
  Py_ssize_t old_length = 0, new_length = 0, proof_length = 0;
  if (PyBytes_AsStringAndSize(old_object, &old_root, &old_length) != 0 ||
      PyBytes_AsStringAndSize(new_object, &new_root, &new_length) != 0 ||
      PyBytes_AsStringAndSize(proof_object, &proof, &proof_length) != 0)
    return nullptr;
  constexpr Py_ssize_t hash_length = static_cast<Py_ssize_t>(tlog::tree_hash_bytes);
  if (old_length != hash_length || new_length != hash_length || proof_length % hash_length != 0) {
    PyErr_SetString(PyExc_ValueError, "roots and proof hashes are 32 bytes each");
    return nullptr;
  }
  tlog::TreeHash old_hash, new_hash;
  std::copy(old_root, old_root + hash_length, old_hash.begin());
  std::copy(new_root, new_root + hash_length, new_hash.begin());
  std::vector<tlog::TreeHash> path(static_cast<std::size_t>(proof_length / hash_length));
  for (std::size_t i = 0; i < path.size(); ++i)
    std::copy(proof + i * tlog::tree_hash_bytes, proof + (i + 1) * tlog::tree_hash_bytes, path[i].begin());
  return PyBool_FromLong(tlog::verify_consistency(old_size, old_hash, new_size, new_hash, path) ? 1 : 0);
}

}  // namespace oxa::notary_py
