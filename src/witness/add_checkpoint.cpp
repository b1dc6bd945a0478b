#include "witness/add_checkpoint.hpp"

#include <algorithm>
#include <charconv>

#include "tlog/base64_text.hpp"
#include "tlog/cosignature.hpp"
#include "tlog/merkle_tree.hpp"

namespace oxa::witness {

namespace {

constexpr std::string_view old_size_prefix = "old ";

bool parse_size(std::string_view text, std::uint64_t& out) {
  // No sign, no leading zero (except "0" itself): one size has one text.
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

Submission refusal(Status status, std::string message) {
  Submission refused;
  refused.status = status;
  refused.message = std::move(message);
  return refused;
}

}  // namespace

std::string parse_add_checkpoint(std::string_view body, AddCheckpointRequest& out) {
  AddCheckpointRequest request;
  std::size_t end = body.find('\n');
  if (end == std::string_view::npos) return "the body has no old size line";
  const std::string_view old_line = body.substr(0, end);
  if (old_line.substr(0, old_size_prefix.size()) != old_size_prefix ||
      !parse_size(old_line.substr(old_size_prefix.size()), request.old_size))
    return "the first line is not \"old <size>\" with a decimal size";
  body.remove_prefix(end + 1);
  for (;;) {
    end = body.find('\n');
    if (end == std::string_view::npos) return "the proof is not followed by an empty line";
    const std::string_view line = body.substr(0, end);
    body.remove_prefix(end + 1);
    if (line.empty()) break;
    if (request.proof.size() == max_proof_lines)
      return "more than " + std::to_string(max_proof_lines) + " consistency proof lines";
    const auto hash = tlog::base64_decode(line);
    if (!hash || hash->size() != tlog::tree_hash_bytes)
      return "a consistency proof line is not base64 of a 32-byte hash";
    tlog::TreeHash& into = request.proof.emplace_back();
    std::copy(hash->begin(), hash->end(), into.begin());
  }
  request.note = std::string(body);
  out = std::move(request);
  return {};
}

Witness::Witness(std::unique_ptr<tlog::NoteSigner> signer, std::vector<tlog::NoteVerifier> log_keys)
    : signer_(std::move(signer)), log_keys_(std::move(log_keys)) {}

Submission Witness::open(std::string_view body) const {
  AddCheckpointRequest request;
  if (std::string error = parse_add_checkpoint(body, request); !error.empty())
    return refusal(Status::malformed, std::move(error));

  // The origin is read from the unverified text only to pick the keys that
  // must then verify it.
  const std::size_t blank = request.note.rfind("\n\n");
  if (blank == std::string::npos) return refusal(Status::malformed, "the checkpoint is not a signed note");
  tlog::CheckpointBody unverified;
  if (std::string error = tlog::parse_checkpoint_body(std::string_view(request.note).substr(0, blank + 1),
                                                        unverified);
      !error.empty())
    return refusal(Status::malformed, std::move(error));

  bool origin_known = false;
  std::string text;
  for (const tlog::NoteVerifier& key : log_keys_) {
    if (key.name != unverified.origin) continue;
    origin_known = true;
    switch (tlog::open_note(request.note, key, text)) {
      case tlog::NoteCheck::verified: break;
      case tlog::NoteCheck::malformed: return refusal(Status::malformed, "the checkpoint is not a signed note");
      case tlog::NoteCheck::unknown_key:
      case tlog::NoteCheck::bad_signature: continue;
    }
    break;
  }
  if (!origin_known) return refusal(Status::unknown_origin, "unknown log origin");
  if (text.empty()) return refusal(Status::forbidden, "no signature verifies under a key of the log");

  Submission submission;
  if (std::string error = tlog::parse_checkpoint_body(text, submission.checkpoint); !error.empty())
    return refusal(Status::malformed, std::move(error));
  if (submission.checkpoint.size > max_tree_size) return refusal(Status::malformed, "the tree size is too large");
  if (request.old_size > submission.checkpoint.size)
    return refusal(Status::malformed, "the old size is above the checkpoint's size");
  submission.old_size = request.old_size;
  submission.proof = std::move(request.proof);
  submission.checkpoint_text = std::move(text);
  return submission;
}

Status Witness::extends(const Submission& submission, const StoredCheckpoint& stored) {
  const tlog::CheckpointBody& next = submission.checkpoint;
  if (submission.old_size != stored.size) return Status::conflict;
  if (next.size == stored.size) {
    if (!submission.proof.empty()) return Status::unprovable;
    return !stored.root || next.root == *stored.root ? Status::ok : Status::conflict;
  }
  // The empty tree is a prefix of every tree: from size 0 the proof is empty.
  if (stored.size == 0) return submission.proof.empty() ? Status::ok : Status::unprovable;
  return tlog::verify_consistency(stored.size, *stored.root, next.size, next.root, submission.proof)
             ? Status::ok
             : Status::unprovable;
}

std::string Witness::cosign(std::string_view checkpoint_text, std::uint64_t timestamp) const {
  return tlog::cosignature_line(*signer_, timestamp, checkpoint_text);
}

std::string Witness::vkey() const {
  return tlog::format_cosignature_vkey(signer_->name(), signer_->verifier().public_key);
}

}  // namespace oxa::witness
