#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/unusable_input_error.hpp"
#include "logread/log_start.hpp"

// The notary's commands: keygen, seal, follow and prove. Each reads the log
// only (never writes it, never locks it) and writes nothing but the
// checkpoint file or the proof it was asked for.
namespace oxa::notary {

// What a command did. Status 0: done; 1: refused, because what it found
// contradicts what was signed before (`message` says what and where).
struct NotaryOutcome {
  int status = 0;
  std::string message;
  std::uint64_t size = 0;     // lines in the tree after the command
  std::uint64_t bytes = 0;    // log bytes those lines take
  std::uint64_t checkpoints_written = 0;
  std::string root;           // base64 of the tree's root at `size`
  std::string origin;         // the origin signed (the key's name)
  std::string checkpoint_file;
};

// What a new checkpoint is, when others are asked to cosign it: its note as
// the notary signed it, its tree size, and the directory whose tiles (durable
// by then) give its tree, for consistency proofs ("" without tiles).
struct CosignRequest {
  std::string_view note;
  std::uint64_t size = 0;
  std::string_view tiles_dir;
};

struct SealOptions {
  std::string key_path;
  // Empty: the key's name. Otherwise it must be the key's name: a verifier
  // trusts a note by the name and key it was published under.
  std::string origin;
  std::string out_path;  // empty: the last piece's name with ".checkpoints"
  std::vector<std::string> logs;
  bool recheck = false;
  // The tree's tiles: `tiles_dir`, or when empty LOG.tiles beside the
  // checkpoint file; none at all without `tiles`.
  bool tiles = true;
  std::string tiles_dir;
  // follow only: checkpoint after this many new lines or this many seconds.
  std::uint64_t every = 64;
  double seconds = 5.0;
  // seal only: a line longer than this many bytes (0: no limit) is hashed
  // while it is read, never held whole. A follow holds lines whole.
  std::size_t line_limit = logread::default_line_limit;
  // Told of a usable key file that others can read, before any work.
  std::function<void(const std::string&)> on_warning;
  // Told of each checkpoint once it is stored (its size, bytes, root and
  // the count written so far in `checkpoints_written`).
  std::function<void(const NotaryOutcome&)> on_checkpoint;
  // Asked for each new checkpoint once its tiles are durable and before it is
  // stored: signature lines (each ending in a line feed) to add to its note,
  // such as witnesses' cosignatures, or "". Lines that would leave the note
  // unreadable under the notary's key are left out, with a warning.
  std::function<std::string(const CosignRequest&)> cosign;
};

std::string default_checkpoint_path(const std::vector<std::string>& logs);
// The tile directory beside a checkpoint file: its name with ".checkpoints"
// replaced by ".tiles" (LOG.checkpoints: LOG.tiles), or ".tiles" added.
std::string default_tiles_path(const std::string& checkpoint_path);

// Writes a new private key file and returns the verifier key text.
std::string keygen(const std::string& key_path, const std::string& name);

// The name and verifier key text of an existing private key file, after the
// checks every use of the key makes; `warning` receives a warning's text
// (a key others can read) or stays empty.
struct KeyInfo {
  std::string name;
  std::string verifier_key;
  std::string warning;
};
KeyInfo key_info(const std::string& key_path);

// Appends one checkpoint for the log's current size when it grew since the
// checkpoint file's last one. Throws UnusableInputError.
NotaryOutcome seal(const SealOptions& options);

// Follows the live log (the last piece) until `should_stop` returns true,
// checkpointing as `every` / `seconds` say, on rotation by rename (after the
// old file was read to its end) and at the end. `should_stop` is asked about
// every `poll_milliseconds`. Throws UnusableInputError.
NotaryOutcome follow(const SealOptions& options, const std::function<bool()>& should_stop,
                     int poll_milliseconds = 50);

// The tlog-proof text of log line `line_number` (from 1) against the latest
// checkpoint covering it. The path comes from the tiles in `tiles_dir` (or
// the default one beside the checkpoint file) when they hold that
// checkpoint's tree; otherwise from the log. Throws UnusableInputError; a log
// that does not give the checkpoint's root is refused with UnusableInputError too.
std::string prove(const std::string& checkpoints_path, const std::vector<std::string>& logs,
                  std::uint64_t line_number, const std::string& tiles_dir = {});

// Stores a proof at `path`: a new file, or an existing regular file of this
// user's with no other name, rewritten in place. Never follows a symbolic
// link at `path`. Throws UnusableInputError.
void write_proof_file(const std::string& path, std::string_view proof);

}  // namespace oxa::notary
