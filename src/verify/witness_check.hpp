#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tlog/policy.hpp"

// The witnesses' side of a checkpoint check: an auditor's trust policy (the
// notary's log key, the witnesses' cosignature keys, the quorum), the
// cosignatures on each checkpoint's note, and whether they meet the quorum.
namespace oxa::verify {

// Problem and warning kinds.
inline constexpr std::string_view kind_bad_cosignature = "bad-cosignature";
inline constexpr std::string_view kind_witness_quorum = "witness-quorum";
inline constexpr std::string_view kind_unwitnessed_tail = "unwitnessed-tail";

// Reads and parses a policy file. Throws InputError for a file that cannot
// be read and UsageError for text that is not a complete policy (a quorum
// line is needed), naming the file.
tlog::Policy read_policy_file(const std::string& path);

// The verifier key text of the log whose checkpoints are checked: the
// policy's one log line, or the log line that `notary_key` names when given
// (it must be one of them: two keys that disagree would leave open which one
// the report speaks for). Throws UsageError.
std::string policy_log_key(const tlog::Policy& policy, const std::string& policy_path,
                           const std::optional<std::string>& notary_key);

// The quorum in words, groups spelled out: "none", "W1", "G (2 of W1, W2, W3)".
std::string quorum_text(const tlog::Policy& policy);

// The policy's witnesses whose cosignatures on a signed note verify, those
// with a cosignature line (their name and key id) that does not, and
// whether the ones that verify meet the quorum.
struct NoteWitnesses {
  std::vector<std::size_t> cosigned;  // indices into policy.witnesses
  std::vector<std::size_t> bad;
  bool quorum = false;
};
NoteWitnesses check_note_witnesses(const tlog::Policy& policy, std::string_view note);

// The names of the witnesses at `indices`.
std::vector<std::string> witness_names(const tlog::Policy& policy, const std::vector<std::size_t>& indices);

std::string bad_cosignature_message(std::string_view checkpoint, std::string_view witness_name);
// `witnessed_size`: the last witnessed checkpoint's, when there is one.
std::string unwitnessed_tail_message(std::uint64_t count, std::optional<std::uint64_t> witnessed_size);

}  // namespace oxa::verify
