#include "verify/sealed_lines_check.hpp"


#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <memory>

#include "common/os_error.hpp"
#include "common/regular_file.hpp"
#include "common/unusable_input_error.hpp"
#include "logread/log_source.hpp"
#include "logread/log_start.hpp"
#include "logread/record_check.hpp"
#include "store/file_io.hpp"
#include "tlog/checkpoint.hpp"
#include "tlog/merkle_tree.hpp"
#include "tlog/signed_note.hpp"
#include "tlog/tlog_proof.hpp"

namespace oxa::verify {

namespace {

// A proof file is a few kilobytes plus one record's line.
constexpr std::size_t proof_file_limit = 64u << 20;
// A checkpoint takes a few kilobytes at most (its frontier holds one hash per
// set bit of the tree size): this is room for millions of them, and a bound
// on what one check holds in memory.
constexpr std::size_t checkpoint_file_limit = std::size_t{16} << 30;

struct SignedCheckpoint {
  std::uint64_t line = 0;  // in the checkpoint file
  tlog::Checkpoint checkpoint;
  tlog::TreeHash root{};
};

tlog::NoteVerifier parse_key(const std::string& text) {
  tlog::NoteVerifier verifier;
  if (std::string error = tlog::parse_verifier_key(text, verifier); !error.empty())
    throw UnusableInputError("notary key \"" + text + "\": " + error);
  return verifier;
}

std::string describe(const std::string& path, const SignedCheckpoint& entry) {
  return "the checkpoint of size " + std::to_string(entry.checkpoint.size) + " (line " + std::to_string(entry.line) +
         " of " + path + ")";
}

struct PassResult {
  std::vector<CheckFinding> problems;
  std::vector<CheckFinding> warnings;
  std::uint64_t sealed_lines = 0;
  std::uint64_t start_size = 0;
  std::uint64_t unsealed_lines = 0;
};

// One pass over the log, continuing the tree of checkpoint `start` (or the
// empty tree when `start` is valid.size()) and comparing each later
// checkpoint's root as the tree reaches its size.
PassResult check_pass(const std::vector<std::string>& logs, const std::string& checkpoints_path,
                      const std::vector<SignedCheckpoint>& valid, std::size_t start, bool require_sealed,
                      std::size_t line_limit) {
  PassResult result;
  tlog::TreeBuilder tree;
  std::size_t next = 0;
  if (start < valid.size()) {
    tree.resume(valid[start].checkpoint.size, valid[start].checkpoint.frontier);
    result.start_size = tree.size();
    next = start + 1;
  }
  while (next < valid.size() && valid[next].checkpoint.size <= result.start_size) ++next;

  std::uint64_t last_good = result.start_size;
  bool failed = false;
  logread::CompleteLines source(logs, line_limit);
  logread::LogLine line;
  tlog::TreeHash leaf;
  while (source.next(line, leaf)) {
    tree.append(leaf);
    while (!failed && next < valid.size() && valid[next].checkpoint.size == tree.size()) {
      if (tree.root() == valid[next].root) {
        last_good = tree.size();
        ++next;
        continue;
      }
      failed = true;
      const std::uint64_t first = last_good - result.start_size + 1;
      const std::uint64_t last = tree.size() - result.start_size;
      result.problems.push_back(
          {first, kind_checkpoint_mismatch,
           describe(checkpoints_path, valid[next]) + " does not match the log: a line between line " +
               std::to_string(first) + " and line " + std::to_string(last) +
               " was altered, removed, inserted or reordered" +
               (last_good > result.start_size ? " (the checkpoint of size " + std::to_string(last_good) + " holds)"
                                              : std::string())});
    }
  }
  result.sealed_lines = last_good;
  const std::uint64_t log_lines = tree.size() - result.start_size;
  if (!failed && next < valid.size()) {
    result.problems.push_back({0, kind_truncated,
                               describe(checkpoints_path, valid.back()) + " covers " +
                                   std::to_string(valid.back().checkpoint.size - result.start_size) +
                                   " lines, but the log has only " + std::to_string(log_lines) +
                                   ": its end was cut off"});
  } else if (!failed && tree.size() > last_good) {
    const std::uint64_t count = tree.size() - last_good;
    result.unsealed_lines = count;
    CheckFinding finding{last_good - result.start_size + 1, kind_unsealed_tail, unsealed_tail_message(count)};
    (require_sealed ? result.problems : result.warnings).push_back(std::move(finding));
  }
  return result;
}

}  // namespace

std::string unsealed_tail_message(std::uint64_t count) {
  return std::to_string(count) + (count == 1 ? " line" : " lines") + " after the last checkpoint are not sealed yet";
}

CheckpointReport check_log_checkpoints(const std::vector<std::string>& logs, const std::string& checkpoints_path,
                                       const std::string& notary_key, bool require_sealed, std::size_t line_limit,
                                       const VerifiedCheckpoint& on_verified) {
  const tlog::NoteVerifier verifier = parse_key(notary_key);
  // Read as a regular file only: a pipe or a device named here would hang
  // the check or feed it without end.
  std::string content;
  int os_error = 0;
  if (std::string error = read_regular_file(checkpoints_path, checkpoint_file_limit, content, os_error);
      !error.empty())
    throw UnusableInputError("checkpoint file " + checkpoints_path + ": " + error);
  std::vector<tlog::CheckpointLine> lines = tlog::parse_checkpoint_text(content);
  content = std::string();

  CheckpointReport report;
  std::vector<SignedCheckpoint> valid;
  for (tlog::CheckpointLine& line : lines) {
    const std::string where = "line " + std::to_string(line.number) + " of " + checkpoints_path;
    if (!line.checkpoint) {
      report.problems.push_back({0, kind_bad_checkpoint, where + ": " + line.error});
      continue;
    }
    tlog::CheckpointBody body;
    std::string error = tlog::check_checkpoint(*line.checkpoint, verifier, body);
    if (error.empty() && !report.origin.empty() && body.origin != report.origin)
      error = "its origin \"" + body.origin + "\" differs from \"" + report.origin + "\"";
    if (error.empty() && !valid.empty() && line.checkpoint->size < valid.back().checkpoint.size)
      error = "it covers fewer lines than the checkpoint before it";
    if (!error.empty()) {
      report.problems.push_back({0, kind_bad_checkpoint, where + ": " + error});
      continue;
    }
    if (report.origin.empty()) report.origin = body.origin;
    if (on_verified) on_verified(line.number, *line.checkpoint);
    valid.push_back({line.number, std::move(*line.checkpoint), body.root});
  }
  report.checkpoints = valid.size();
  if (!valid.empty()) report.last_size = valid.back().checkpoint.size;

  // The log is read once from its beginning. Only when that fails, and the
  // log may have lost older pieces, is a later start looked for.
  PassResult pass = check_pass(logs, checkpoints_path, valid, valid.size(), require_sealed, line_limit);
  const bool failed = std::any_of(pass.problems.begin(), pass.problems.end(), [](const CheckFinding& f) {
    return f.kind == kind_checkpoint_mismatch || f.kind == kind_truncated;
  });
  if (failed && valid.size() >= 2) {
    std::vector<logread::KnownCheckpoint> known;
    for (const SignedCheckpoint& entry : valid) known.push_back({&entry.checkpoint, entry.root});
    if (const std::size_t start = logread::find_later_start(logs, known, line_limit); start < valid.size())
      pass = check_pass(logs, checkpoints_path, valid, start, require_sealed, line_limit);
  }
  report.problems.insert(report.problems.end(), std::make_move_iterator(pass.problems.begin()),
                         std::make_move_iterator(pass.problems.end()));
  report.warnings = std::move(pass.warnings);
  report.sealed_lines = pass.sealed_lines;
  report.start_size = pass.start_size;
  report.unsealed_lines = pass.unsealed_lines;
  return report;
}

ProofReport check_proof(const std::string& proof_path, const std::string& notary_key,
                        const std::string& public_key_hex) {
  const tlog::NoteVerifier verifier = parse_key(notary_key);
  PublicKey public_key{};
  const bool check_record = !public_key_hex.empty();
  if (check_record) {
    if (public_key_hex.size() != 2 * public_key.size() ||
        sodium_hex2bin(public_key.data(), public_key.size(), public_key_hex.data(), public_key_hex.size(), nullptr,
                       nullptr, nullptr) != 0)
      throw UnusableInputError("public key \"" + public_key_hex + "\": not 64 hexadecimal digits");
  }
  std::string text;
  int os_error = 0;
  if (std::string error = read_regular_file(proof_path, proof_file_limit, text, os_error); !error.empty())
    throw UnusableInputError("proof " + proof_path + ": " + error);

  ProofReport report;
  tlog::TlogProof proof;
  if (std::string error = tlog::parse_tlog_proof(text, proof); !error.empty())
    throw UnusableInputError("proof " + proof_path + ": " + error);
  if (!proof.has_extra) throw UnusableInputError("proof " + proof_path + ": it carries no record in its extra data");
  report.line = proof.index + 1;
  report.record = proof.extra;
  report.note = proof.checkpoint;

  std::string signed_text;
  tlog::CheckpointBody body;
  std::string error;
  switch (tlog::open_note(proof.checkpoint, verifier, signed_text)) {
    case tlog::NoteCheck::verified:
      error = tlog::parse_checkpoint_body(signed_text, body);
      break;
    case tlog::NoteCheck::malformed:
      error = "its checkpoint is not a signed note";
      break;
    case tlog::NoteCheck::unknown_key:
      error = "its checkpoint carries no signature of the key " + verifier.name;
      break;
    case tlog::NoteCheck::bad_signature:
      error = "its checkpoint's signature does not verify under the key " + verifier.name;
      break;
  }
  if (!error.empty()) {
    report.problems.push_back({report.line, kind_bad_checkpoint, error});
    return report;
  }
  report.tree_size = body.size;
  report.origin = body.origin;
  if (!tlog::verify_inclusion(tlog::leaf_hash(proof.extra), proof.index, body.size, proof.path, body.root))
    report.problems.push_back({report.line, kind_inclusion_mismatch,
                               "the record's line is not line " + std::to_string(report.line) +
                                   " of the signed tree of size " + std::to_string(body.size)});
  if (check_record) {
    report.record_checked = true;
    const logread::RecordFault fault = logread::check_record_line(proof.extra, public_key);
    if (!fault.ok()) report.problems.push_back({report.line, fault.kind, fault.message});
  }
  return report;
}

}  // namespace oxa::verify
