#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tlog/checkpoint.hpp"
#include "tlog/merkle_tree.hpp"
#include "tlog/policy.hpp"
#include "tlog/signed_note.hpp"

// The checks a witness makes on an add-checkpoint request. The request body
// is an "old <size>" line, at most 63 base64 hash lines of a consistency
// proof, an empty line and the signed checkpoint. The checks that need the
// witness's stored state are a separate step, so that the caller can run them
// inside the transaction that stores the new state.
namespace oxa::witness {

inline constexpr std::size_t max_proof_lines = 63;
// Tree sizes are stored as signed 64-bit integers.
inline constexpr std::uint64_t max_tree_size = 0x7fffffffffffffffULL;

// The HTTP statuses of the protocol.
enum class Status : int {
  ok = 200,
  malformed = 400,
  forbidden = 403,
  unknown_origin = 404,
  conflict = 409,
  unprovable = 422,
};

struct AddCheckpointRequest {
  std::uint64_t old_size = 0;
  std::vector<tlog::TreeHash> proof;
  std::string note;  // the signed checkpoint as sent
};

// Returns "" with `out` filled in, or what makes the body malformed.
std::string parse_add_checkpoint(std::string_view body, AddCheckpointRequest& out);

// A request whose checkpoint verified under a trusted key of its origin.
struct Submission {
  Status status = Status::ok;  // anything else: the answer, with `message`
  std::string message;
  std::uint64_t old_size = 0;
  std::vector<tlog::TreeHash> proof;
  tlog::CheckpointBody checkpoint;
  std::string checkpoint_text;  // the signed text, the checkpoint's body
};

// What the witness last cosigned for an origin; size 0 and no root when none.
struct StoredCheckpoint {
  std::uint64_t size = 0;
  std::optional<tlog::TreeHash> root;
};

class Witness {
 public:
  // The trusted log keys: each key's name is the origin of its log.
  Witness(std::unique_ptr<tlog::NoteSigner> signer, std::vector<tlog::NoteVerifier> log_keys);

  // Parses the body and checks the checkpoint's signatures: 400, 404 or 403,
  // or ok with the parts the next steps need.
  Submission open(std::string_view body) const;

  // The check against the stored state: 409 when the old size is not the
  // stored one or the same size has another root, 422 when the proof does
  // not show that the checkpoint extends the stored one, ok otherwise.
  static Status extends(const Submission& submission, const StoredCheckpoint& stored);

  // The cosignature line (with its line feed) of a checkpoint text at `timestamp`.
  std::string cosign(std::string_view checkpoint_text, std::uint64_t timestamp) const;

  // The witness's verifier key (type 0x04).
  std::string vkey() const;

 private:
  std::unique_ptr<tlog::NoteSigner> signer_;
  std::vector<tlog::NoteVerifier> log_keys_;
};

}  // namespace oxa::witness
