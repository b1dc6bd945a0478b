#pragma once

#include <Python.h>

namespace oxa::notary_py {

// run_notary_command(args: list[str]) -> int: the whole oxa-notary command,
// run with the interpreter lock released. While `follow` runs, pending
// signals are handled now and then; one whose handler raises (SIGINT, and
// SIGTERM as the oxa-notary script sets it up) ends the follow after its last
// checkpoint, and the command returns normally.
PyObject* run_notary_command_entry(PyObject* self, PyObject* args);

inline constexpr const char* run_notary_command_doc =
    "run_notary_command(args)\n--\n\nRuns the oxa-notary command; returns its exit status.";

// consistency_proof(tiles_dir: str, old: int, new: int) -> bytes: the proof's
// hashes one after another. Raises ValueError naming what is missing or wrong.
PyObject* consistency_proof_entry(PyObject* self, PyObject* args);
inline constexpr const char* consistency_proof_doc =
    "consistency_proof(tiles_dir, old, new)\n--\n\nThe consistency proof from the tiles, hashes concatenated.";

// check_consistency(old_size: int, old_root: bytes, new_size: int, new_root:
// bytes, proof: bytes) -> bool, the proof's hashes concatenated.
PyObject* check_consistency_entry(PyObject* self, PyObject* args);
inline constexpr const char* check_consistency_doc =
    "check_consistency(old_size, old_root, new_size, new_root, proof)\n--\n\n"
    "Whether the consistency proof links the two trees.";

}  // namespace oxa::notary_py
