#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_status.hpp"
#include "tlog/merkle_tree.hpp"
#include "tlog/signed_note.hpp"

// Checkpoints of a log's tree: the signed body (origin, tree size, root) and
// the checkpoint file, one JSON object per line:
//   {"size":N,"bytes":B,"frontier":["<base64>",...],"note":"<signed note>"}
// `bytes` is how many bytes of the log the N lines take, and `frontier` the
// tree's left frontier at size N, from which the tree can be continued.
namespace oxa::tlog {

struct CheckpointBody {
  std::string origin;
  std::uint64_t size = 0;
  TreeHash root{};
};

// "<origin>\n<size>\n<base64 root>\n".
std::string format_checkpoint_body(const CheckpointBody& body);
// Returns an explanation of the fault, or "" with `out` filled in. Extension
// lines after the root are allowed and ignored.
std::string parse_checkpoint_body(std::string_view text, CheckpointBody& out);

// What a file that is not a regular one is ("a FIFO"), for messages.
std::string file_kind_text(const FileStatus& status);

// An origin must be one non-empty line of UTF-8 without control bytes.
bool valid_origin(std::string_view origin);

struct Checkpoint {
  std::uint64_t size = 0;
  std::uint64_t bytes = 0;
  std::vector<TreeHash> frontier;
  std::string note;
};

std::string format_checkpoint_line(const Checkpoint& checkpoint);  // without the line feed

// One line of a checkpoint file: the checkpoint, or what is wrong with it.
struct CheckpointLine {
  std::uint64_t number = 0;  // from 1
  std::optional<Checkpoint> checkpoint;
  std::string error;
};

class CheckpointFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads every line of a checkpoint file. A missing file reads as empty when
// `missing_is_empty`; any other failure to read throws CheckpointFileError
// naming the file. A last line without its line feed is reported as a line
// in error.
std::vector<CheckpointLine> read_checkpoint_file(const std::string& path, bool missing_is_empty);
// The same for the file's bytes.
std::vector<CheckpointLine> parse_checkpoint_text(std::string_view content);

// Checks a checkpoint against a key: the note verifies, its body names the
// checkpoint's size, and the frontier gives the signed root. Returns "" or
// what is wrong; `body` receives the signed body.
std::string check_checkpoint(const Checkpoint& checkpoint, const NoteVerifier& verifier,
                             CheckpointBody& body);

// Appends one line to the checkpoint file (created if missing) in a single
// write, and flushes it to storage. Throws CheckpointFileError.
void append_checkpoint(const std::string& path, const Checkpoint& checkpoint);

}  // namespace oxa::tlog
