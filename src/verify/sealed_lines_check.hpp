#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "logread/log_start.hpp"
#include "tlog/checkpoint.hpp"

// What a log's checkpoints and a single record's proof add to a verification
// report: every byte of every sealed line, and truncation.
namespace oxa::verify {

// Problem and warning kinds.
inline constexpr std::string_view kind_bad_checkpoint = "bad-checkpoint";
inline constexpr std::string_view kind_checkpoint_mismatch = "checkpoint-mismatch";
inline constexpr std::string_view kind_truncated = "truncated";
inline constexpr std::string_view kind_unsealed_tail = "unsealed-tail";
inline constexpr std::string_view kind_inclusion_mismatch = "inclusion-mismatch";

struct CheckFinding {
  std::uint64_t line = 0;  // log line from 1; 0 when no line applies
  std::string_view kind;   // one of the kinds above, or a record check's
  std::string message;
};

// The message of an unsealed-tail finding of `count` lines.
std::string unsealed_tail_message(std::uint64_t count);

struct CheckpointReport {
  std::vector<CheckFinding> problems;
  std::vector<CheckFinding> warnings;
  std::uint64_t checkpoints = 0;   // checkpoints that verify under the key
  std::uint64_t sealed_lines = 0;  // tree size of the last checkpoint that holds
  std::uint64_t start_size = 0;    // lines before the log's first one (older pieces gone)
  std::uint64_t unsealed_lines = 0;  // complete lines after the last checkpoint, when the tree holds
  std::uint64_t last_size = 0;     // size of the last checkpoint that verifies under the key
  std::string origin;
};

// Checks the log's lines against the signed checkpoints: each note under
// `notary_key` (a verifier key text) and one origin (else `bad-checkpoint`),
// the roots the lines give (`checkpoint-mismatch`, naming the first
// checkpoint that fails and the lines since the last that holds), and
// checkpoints beyond the log's end (`truncated`). Lines after the last
// checkpoint are an `unsealed-tail` warning, or a problem when
// `require_sealed`. When the log's first line is not the logical log's first
// (older pieces deleted), the log is continued from the checkpoint whose
// frontier its first lines extend to the next signed root. Throws
// UnusableInputError for an unusable key, checkpoint file or log. Lines longer
// than `line_limit` bytes (0: none) are hashed as they are read, never held.
// `on_verified`, when given, sees each checkpoint that verifies under the key
// (with its line in the checkpoint file), in file order, before the log is read.
using VerifiedCheckpoint = std::function<void(std::uint64_t file_line, const tlog::Checkpoint& checkpoint)>;
CheckpointReport check_log_checkpoints(const std::vector<std::string>& logs, const std::string& checkpoints_path,
                                       const std::string& notary_key, bool require_sealed,
                                       std::size_t line_limit = logread::default_line_limit,
                                       const VerifiedCheckpoint& on_verified = {});

struct ProofReport {
  std::vector<CheckFinding> problems;
  std::uint64_t line = 0;  // the record's line number in the logical log
  std::uint64_t tree_size = 0;
  std::string origin;
  std::string record;      // the record's line, from the proof's extra data
  std::string note;        // the signed checkpoint as the proof carries it (cosignatures included)
  bool record_checked = false;
};

// Checks a tlog-proof offline: the checkpoint under `notary_key`, the
// record's inclusion in the signed tree and, with `public_key_hex`, the
// record's own content hash and signature. Throws UnusableInputError for an
// unreadable file or an unusable key.
ProofReport check_proof(const std::string& proof_path, const std::string& notary_key,
                        const std::string& public_key_hex);

}  // namespace oxa::verify
