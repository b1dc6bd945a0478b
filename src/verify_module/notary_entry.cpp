#include "verify_module/notary_entry.hpp"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "module/py_ref.hpp"
#include "notary/notary_commands.hpp"
#include "store/json_writer.hpp"
#include "tlog/merkle_tree.hpp"
#include "tlog/tile_proofs.hpp"
#include "tlog/tiles.hpp"
#include "verify_module/python_boundary.hpp"
#include "verify_module/python_values.hpp"

namespace oxa::notary_py {

namespace {

using py::ErrorAlreadySet;
using py::Ref;
using verify_py::boundary;
using verify_py::filesystem_text;
using verify_py::text_list;

std::string optional_text(PyObject* text) { return text == Py_None ? std::string() : filesystem_text(text); }

// Texts that name files carry their names' bytes as given: they come back
// decoded as file names are, undecodable bytes included.
PyObject* new_text(const std::string& text) {
  return PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Calls into Python from work that runs without the interpreter lock. A
// stop signal's handler runs at these calls: its KeyboardInterrupt ends the
// work (after its last checkpoint); any other exception ends it too and is
// raised once the work has returned.
class Callbacks {
 public:
  Callbacks() = default;
  Callbacks(const Callbacks&) = delete;
  Callbacks& operator=(const Callbacks&) = delete;
  ~Callbacks() {
    if (type_ || value_ || traceback_) {
      const PyGILState_STATE held = PyGILState_Ensure();
      Py_DecRef(type_);
      Py_DecRef(value_);
      Py_DecRef(traceback_);
      PyGILState_Release(held);
    }
  }

  // Whether the work must end; handles pending signals, a few times a second.
  bool should_stop() {
    if (stopped_) return true;
    const PyGILState_STATE held = PyGILState_Ensure();
    if (PyErr_CheckSignals() != 0) keep_error();
    PyGILState_Release(held);
    return stopped_;
  }

  // Still called once stopped: the checkpoint written at the stop is reported
  // too. Not after a callback failed. A stop signal whose handler ran at the
  // start of the call interrupted it before it did anything: it is made again.
  void call(PyObject* function, const std::string& text) {
    if (function == Py_None || type_) return;
    const PyGILState_STATE held = PyGILState_Ensure();
    for (int attempt = 0; attempt < 2; ++attempt) {
      PyObject* argument = new_text(text);
      PyObject* result = argument ? PyObject_CallFunctionObjArgs(function, argument, nullptr) : nullptr;
      Py_DecRef(argument);
      if (result) {
        Py_DecRef(result);
        break;
      }
      const bool interrupted = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
      keep_error();
      if (!interrupted) break;
    }
    PyGILState_Release(held);
  }

  // Asks `function(note: bytes, size: int, tiles_dir: str)` for signature
  // lines to add to a new checkpoint's note. It answers (lines: bytes,
  // stop: bool), `stop` telling of a stop signal that came while it waited:
  // the work then ends after this checkpoint. A stop signal that interrupts
  // the call, or a failing call, leaves the note as it is ("").
  std::string cosign(PyObject* function, const notary::CosignRequest& request) {
    if (function == Py_None || type_) return {};
    std::string lines;
    const PyGILState_STATE held = PyGILState_Ensure();
    PyObject* note = PyBytes_FromStringAndSize(request.note.data(), static_cast<Py_ssize_t>(request.note.size()));
    PyObject* size = PyLong_FromUnsignedLongLong(request.size);
    PyObject* tiles = new_text(std::string(request.tiles_dir));
    PyObject* result =
        note && size && tiles ? PyObject_CallFunctionObjArgs(function, note, size, tiles, nullptr) : nullptr;
    Py_DecRef(note);
    Py_DecRef(size);
    Py_DecRef(tiles);
    if (result) {
      PyObject* text = nullptr;
      PyObject* stop = nullptr;
      char* data = nullptr;
      Py_ssize_t length = 0;
      if (PyArg_ParseTuple(result, "SO:cosign", &text, &stop) && PyBytes_AsStringAndSize(text, &data, &length) == 0) {
        const int stopping = PyObject_IsTrue(stop);
        if (stopping >= 0) {
          lines.assign(data, static_cast<std::size_t>(length));
          if (stopping) stopped_ = true;
        }
      }
      Py_DecRef(result);
    }
    if (PyErr_Occurred()) {
      lines.clear();
      keep_error();
    }
    PyGILState_Release(held);
    return lines;
  }

  // With the lock held again: raises the exception a callback left, if any.
  void raise_kept() {
    if (!type_) return;
    PyErr_Restore(type_, value_, traceback_);
    type_ = value_ = traceback_ = nullptr;
    throw ErrorAlreadySet{};
  }

 private:
  void keep_error() {
    stopped_ = true;
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || type_) {
      PyErr_Clear();
      return;
    }
    PyErr_Fetch(&type_, &value_, &traceback_);
  }

  bool stopped_ = false;
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// Runs `work` without the interpreter lock, then turns its failure into a
// Python exception: an unusable input is an OSError, whose message the
// command prints as its error.
template <class Work>
void without_interpreter_lock(Work&& work) {
  enum class Failure { none, input, memory, other } failure = Failure::none;
  std::string message;
  PyThreadState* state = PyEval_SaveThread();
  try {
    work();
  } catch (const UnusableInputError& error) {
    failure = Failure::input;
    message = error.what();
  } catch (const std::bad_alloc&) {
    failure = Failure::memory;
  } catch (const std::exception& error) {
    failure = Failure::other;
    message = error.what();
  }
  PyEval_RestoreThread(state);
  switch (failure) {
    case Failure::none: return;
    case Failure::input:
      if (PyObject* text = new_text(message)) {
        PyErr_SetObject(PyExc_OSError, text);
        Py_DecRef(text);
      }
      break;
    case Failure::memory: PyErr_NoMemory(); break;
    case Failure::other: PyErr_SetString(PyExc_RuntimeError, message.empty() ? "oxa-notary failed" : message.c_str()); break;
  }
  throw ErrorAlreadySet{};
}

std::string outcome_json(const notary::NotaryOutcome& outcome) {
  std::string out;
  json::begin_object(out);
  json::key(out, "ok");
  json::boolean(out, outcome.status == 0);
  json::separator(out);
  json::key(out, "size");
  json::unsigned_integer(out, outcome.size);
  json::separator(out);
  json::key(out, "bytes");
  json::unsigned_integer(out, outcome.bytes);
  json::separator(out);
  json::key(out, "root");
  json::string(out, outcome.root);
  json::separator(out);
  json::key(out, "origin");
  json::string(out, outcome.origin);
  json::separator(out);
  json::key(out, "checkpoints_written");
  json::unsigned_integer(out, outcome.checkpoints_written);
  json::separator(out);
  json::key(out, "checkpoint_file");
  json::string(out, outcome.checkpoint_file);
  json::separator(out);
  json::key(out, "message");
  json::string(out, outcome.message);
  json::end_object(out);
  return out;
}

PyObject* keygen_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject *key = nullptr, *name = nullptr;
    if (!PyArg_ParseTuple(args, "UU:notary_keygen", &key, &name)) throw ErrorAlreadySet{};
    const std::string key_path = filesystem_text(key), name_text = filesystem_text(name);
    std::string verifier_key;
    without_interpreter_lock([&] { verifier_key = notary::keygen(key_path, name_text); });
    return new_text(verifier_key);
  });
}

PyObject* key_info_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* key = nullptr;
    if (!PyArg_ParseTuple(args, "U:notary_key_info", &key)) throw ErrorAlreadySet{};
    const std::string key_path = filesystem_text(key);
    notary::KeyInfo info;
    without_interpreter_lock([&] { info = notary::key_info(key_path); });
    Ref name = Ref::steal_or_throw(new_text(info.name));
    Ref verifier_key = Ref::steal_or_throw(new_text(info.verifier_key));
    Ref warning = info.warning.empty() ? Ref::borrow(Py_None) : Ref::steal_or_throw(new_text(info.warning));
    return PyTuple_Pack(3, name.get(), verifier_key.get(), warning.get());
  });
}

notary::SealOptions seal_options(PyObject* key, PyObject* origin, PyObject* out, PyObject* logs, int recheck,
                                 PyObject* tiles, int keep_tiles) {
  notary::SealOptions options;
  options.tiles = keep_tiles != 0;
  options.tiles_dir = optional_text(tiles);
  options.key_path = filesystem_text(key);
  options.origin = optional_text(origin);
  options.out_path = optional_text(out);
  options.logs = text_list(logs);
  options.recheck = recheck != 0;
  return options;
}

PyObject* seal_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject *key = nullptr, *origin = nullptr, *out = nullptr, *logs = nullptr, *on_warning = nullptr,
             *tiles = Py_None, *cosign = Py_None;
    int recheck = 0, keep_tiles = 1;
    unsigned long long max_line_bytes = logread::default_line_limit;
    if (!PyArg_ParseTuple(args, "UOOOpO|OpKO:notary_seal", &key, &origin, &out, &logs, &recheck, &on_warning, &tiles,
                          &keep_tiles, &max_line_bytes, &cosign))
      throw ErrorAlreadySet{};
    notary::SealOptions options = seal_options(key, origin, out, logs, recheck, tiles, keep_tiles);
    options.line_limit = static_cast<std::size_t>(std::min<unsigned long long>(max_line_bytes, SIZE_MAX - 1));
    Callbacks callbacks;
    options.on_warning = [&](const std::string& text) { callbacks.call(on_warning, text); };
    if (cosign != Py_None)
      options.cosign = [&](const notary::CosignRequest& request) { return callbacks.cosign(cosign, request); };
    std::string result;
    without_interpreter_lock([&] { result = outcome_json(notary::seal(options)); });
    callbacks.raise_kept();
    return new_text(result);
  });
}

PyObject* follow_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject *key = nullptr, *origin = nullptr, *out = nullptr, *logs = nullptr, *on_warning = nullptr,
             *on_checkpoint = nullptr, *tiles = Py_None, *cosign = Py_None;
    int recheck = 0, keep_tiles = 1;
    unsigned long long every = 0;
    double seconds = 0;
    if (!PyArg_ParseTuple(args, "UOOOpKdOO|OpO:notary_follow", &key, &origin, &out, &logs, &recheck, &every,
                          &seconds, &on_warning, &on_checkpoint, &tiles, &keep_tiles, &cosign))
      throw ErrorAlreadySet{};
    if (every == 0 || !(seconds > 0)) {
      PyErr_SetString(PyExc_ValueError, "every and seconds must be positive");
      throw ErrorAlreadySet{};
    }
    notary::SealOptions options = seal_options(key, origin, out, logs, recheck, tiles, keep_tiles);
    options.every = every;
    options.seconds = seconds;
    Callbacks callbacks;
    options.on_warning = [&](const std::string& text) { callbacks.call(on_warning, text); };
    options.on_checkpoint = [&](const notary::NotaryOutcome& outcome) {
      callbacks.call(on_checkpoint, outcome_json(outcome));
    };
    if (cosign != Py_None)
      options.cosign = [&](const notary::CosignRequest& request) { return callbacks.cosign(cosign, request); };
    std::string result;
    without_interpreter_lock(
        [&] { result = outcome_json(notary::follow(options, [&callbacks] { return callbacks.should_stop(); })); });
    callbacks.raise_kept();
    return new_text(result);
  });
}

PyObject* prove_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject *checkpoints = nullptr, *logs = nullptr, *out = nullptr, *tiles = Py_None;
    unsigned long long line = 0;
    if (!PyArg_ParseTuple(args, "UOKO|O:notary_prove", &checkpoints, &logs, &line, &out, &tiles))
      throw ErrorAlreadySet{};
    const std::string tiles_dir = optional_text(tiles);
    const std::string checkpoints_path = filesystem_text(checkpoints);
    const std::vector<std::string> log_paths = text_list(logs);
    const std::string out_path = optional_text(out);
    std::string proof;
    without_interpreter_lock([&] {
      proof = notary::prove(checkpoints_path, log_paths, line, tiles_dir);
      if (!out_path.empty()) {
        notary::write_proof_file(out_path, proof);
        proof.clear();
      }
    });
    return new_text(proof);
  });
}

// Runs `prove(hashes)` without the interpreter lock; returns the hashes it
// gave one after another, or raises ValueError with the failure it named.
template <class Prove>
PyObject* proof_bytes(Prove prove) {
  std::string out;
  std::string failure;
  without_interpreter_lock([&] {
    std::vector<tlog::TreeHash> hashes;
    failure = prove(hashes);
    if (failure.empty())
      for (const tlog::TreeHash& hash : hashes) out.append(reinterpret_cast<const char*>(hash.data()), hash.size());
  });
  if (!failure.empty()) {
    if (PyObject* text = new_text(failure)) {
      PyErr_SetObject(PyExc_ValueError, text);
      Py_DecRef(text);
    }
    throw ErrorAlreadySet{};
  }
  return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

// consistency_proof(tiles_dir, old, new) -> bytes: the proof's hashes one
// after another; ValueError names what is missing or wrong.
PyObject* consistency_proof_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* directory_text = nullptr;
    unsigned long long old_size = 0, new_size = 0;
    if (!PyArg_ParseTuple(args, "UKK:consistency_proof", &directory_text, &old_size, &new_size))
      throw ErrorAlreadySet{};
    const std::string directory = filesystem_text(directory_text);
    return proof_bytes([&](std::vector<tlog::TreeHash>& hashes) -> std::string {
      try {
        hashes = tlog::consistency_from_tiles(directory, old_size, new_size);
      } catch (const UnusableInputError& error) {
        return error.what();
      }
      return {};
    });
  });
}

// consistency_proof_at(tiles_dir, old, new, root) -> bytes: the proof from the
// tiles of the tree of `new` leaves, which must give `root`: a checkpoint's
// tree before that checkpoint is published. ValueError names what is wrong.
PyObject* consistency_proof_at_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject *directory_text = nullptr, *root_object = nullptr;
    unsigned long long old_size = 0, new_size = 0;
    if (!PyArg_ParseTuple(args, "UKKS:consistency_proof_at", &directory_text, &old_size, &new_size, &root_object))
      throw ErrorAlreadySet{};
    char* root_data = nullptr;
    Py_ssize_t root_length = 0;
    if (PyBytes_AsStringAndSize(root_object, &root_data, &root_length) != 0) throw ErrorAlreadySet{};
    if (root_length != static_cast<Py_ssize_t>(tlog::tree_hash_bytes)) {
      PyErr_SetString(PyExc_ValueError, "a root is 32 bytes");
      throw ErrorAlreadySet{};
    }
    tlog::TreeHash root;
    std::copy(root_data, root_data + root_length, root.begin());
    const std::string directory = filesystem_text(directory_text);
    return proof_bytes([&](std::vector<tlog::TreeHash>& hashes) -> std::string {
      if (old_size > new_size)
        return "the old size " + std::to_string(old_size) + " is larger than the new size " + std::to_string(new_size);
      try {
        tlog::TileReader reader(directory, new_size);
        if (reader.root() != root)
          return "tiles: " + directory + " do not give the root of the tree of " + std::to_string(new_size) +
                 " leaves";
        hashes = reader.consistency_proof(old_size, new_size);
      } catch (const tlog::TileError& error) {
        return std::string("tiles: ") + error.what();
      }
      return {};
    });
  });
}

// check_consistency(old_size, old_root, new_size, new_root, proof) -> bool,
// with the proof's 32-byte hashes one after another.
PyObject* check_consistency_entry(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    unsigned long long old_size = 0, new_size = 0;
    PyObject *old_object = nullptr, *new_object = nullptr, *proof_object = nullptr;
    if (!PyArg_ParseTuple(args, "KSKSS:check_consistency", &old_size, &old_object, &new_size, &new_object,
                          &proof_object))
      throw ErrorAlreadySet{};
    char *old_root = nullptr, *new_root = nullptr, *proof = nullptr;
    Py_ssize_t old_length = 0, new_length = 0, proof_length = 0;
    if (PyBytes_AsStringAndSize(old_object, &old_root, &old_length) != 0 ||
        PyBytes_AsStringAndSize(new_object, &new_root, &new_length) != 0 ||
        PyBytes_AsStringAndSize(proof_object, &proof, &proof_length) != 0)
      throw ErrorAlreadySet{};
    constexpr Py_ssize_t hash_length = static_cast<Py_ssize_t>(tlog::tree_hash_bytes);
    if (old_length != hash_length || new_length != hash_length || proof_length % hash_length != 0) {
      PyErr_SetString(PyExc_ValueError, "roots and proof hashes are 32 bytes each");
      throw ErrorAlreadySet{};
    }
    tlog::TreeHash old_hash, new_hash;
    std::copy(old_root, old_root + hash_length, old_hash.begin());
    std::copy(new_root, new_root + hash_length, new_hash.begin());
    std::vector<tlog::TreeHash> path(static_cast<std::size_t>(proof_length / hash_length));
    for (std::size_t i = 0; i < path.size(); ++i)
      std::copy(proof + i * tlog::tree_hash_bytes, proof + (i + 1) * tlog::tree_hash_bytes, path[i].begin());
    return PyBool_FromLong(tlog::verify_consistency(old_size, old_hash, new_size, new_hash, path) ? 1 : 0);
  });
}

}  // namespace

PyMethodDef notary_methods[] = {
    {"notary_keygen", keygen_entry, METH_VARARGS,
     "notary_keygen(key_path, name)\n--\n\nWrites a new notary key; returns its verifier key."},
    {"notary_key_info", key_info_entry, METH_VARARGS,
     "notary_key_info(key_path)\n--\n\nThe name, verifier key and warning (or None) of a notary key file."},
    {"notary_seal", seal_entry, METH_VARARGS,
     "notary_seal(key_path, origin, out_path, logs, recheck, on_warning, tiles_dir, keep_tiles, max_line_bytes, "
     "cosign)\n--\n\n"
     "Appends one checkpoint of the log when it grew; returns the outcome as JSON text."},
    {"notary_follow", follow_entry, METH_VARARGS,
     "notary_follow(key_path, origin, out_path, logs, recheck, every, seconds, on_warning, on_checkpoint, tiles_dir, "
     "keep_tiles, cosign)\n--\n\n"
     "Keeps sealing the live log until a stop signal; returns the outcome as JSON text."},
    {"notary_prove", prove_entry, METH_VARARGS,
     "notary_prove(checkpoints_path, logs, line, out_path)\n--\n\n"
     "The tlog-proof of one line, or \"\" once written to out_path."},
    {"consistency_proof", consistency_proof_entry, METH_VARARGS,
     "consistency_proof(tiles_dir, old, new)\n--\n\nThe consistency proof from the tiles, its hashes concatenated."},
    {"consistency_proof_at", consistency_proof_at_entry, METH_VARARGS,
     "consistency_proof_at(tiles_dir, old, new, root)\n--\n\n"
     "The consistency proof from the tiles of the tree of new leaves, which must give root; hashes concatenated."},
    {"check_consistency", check_consistency_entry, METH_VARARGS,
     "check_consistency(old_size, old_root, new_size, new_root, proof)\n--\n\n"
     "Whether the consistency proof (hashes concatenated) links the two trees."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace oxa::notary_py
