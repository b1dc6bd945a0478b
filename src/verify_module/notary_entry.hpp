#pragma once

#include <Python.h>

namespace oxa::notary_py {

// The oxa-notary commands, one function each, taking typed values that the
// Python command line has already parsed:
//   notary_keygen(key_path: str, name: str) -> str            (the verifier key)
//   notary_key_info(key_path: str) -> tuple[str, str, str|None] (name, verifier key, warning)
//   notary_seal(key_path, origin, out_path, logs, recheck, on_warning) -> str
//   notary_follow(key_path, origin, out_path, logs, recheck, every, seconds,
//                 on_warning, on_checkpoint) -> str
//   notary_prove(checkpoints_path, logs, line, out_path[, tiles_dir]) -> str (the proof, "" when written to out_path)
//   consistency_proof(tiles_dir, old, new) -> bytes     (the proof's hashes concatenated)
//   check_consistency(old_size, old_root, new_size, new_root, proof) -> bool
//   consistency_proof_at(tiles_dir, old, new, root) -> bytes (from the tiles of a tree not yet published)
// seal and follow take more, optional: tiles_dir (None: beside the
// checkpoint file), keep_tiles (False: none), seal max_line_bytes, and both
// last `cosign(note: bytes, size: int, tiles_dir: str) -> (bytes, bool)`,
// asked for signature lines to add to each new checkpoint once its tiles are
// durable (the bool: a stop signal came meanwhile), or None.
// `origin` and `out_path` may be None. seal and follow return the outcome as
// JSON text; `on_warning(text)` and `on_checkpoint(json_text)` are called
// with the interpreter lock held. An input that cannot be used raises
// OSError. The work runs with the interpreter lock released; while `follow`
// runs, pending signals are handled now and then, and one whose handler
// raises (SIGINT, and SIGTERM as the oxa-notary command sets it up) ends it
// after its last checkpoint, and it returns normally.
extern PyMethodDef notary_methods[];

}  // namespace oxa::notary_py
