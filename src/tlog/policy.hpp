#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tlog/signed_note.hpp"

// Transparency-log trust policies: the logs whose checkpoints are accepted,
// the witnesses that cosign them, and the quorum of witnesses a checkpoint
// needs. The text is line based:
//   log <vkey> [<url>]
//   witness <name> <vkey> [<url>]
//   group <name> all|any|<k> <member>...
//   quorum <name>|none
// Items are separated by spaces and tabs; blank lines and '#' comments are
// ignored. A group or the quorum names only witnesses and groups defined on
// earlier lines, so the groups form no cycle.
namespace oxa::tlog {

struct PolicyLog {
  NoteVerifier key;  // its name is the log's origin
  std::string url;           // empty when none is given
};

struct PolicyWitness {
  std::string name;          // the policy's own name for the witness
  NoteVerifier key;  // an Ed25519 cosignature key (type 0x04)
  std::string url;
};

// A witness or a group, by its index in the policy's lists.
struct PolicyMember {
  enum class Kind { witness, group } kind = Kind::witness;
  std::size_t index = 0;
};

struct PolicyGroup {
  std::string name;
  std::size_t threshold = 0;  // 1 <= threshold <= members.size()
  std::vector<PolicyMember> members;
};

struct Policy {
  std::vector<PolicyLog> logs;
  std::vector<PolicyWitness> witnesses;
  std::vector<PolicyGroup> groups;
  bool quorum_none = false;  // "quorum none": no cosignature is needed
  PolicyMember quorum;       // when not quorum_none
};

enum class PolicyScope {
  complete,   // every line is checked and the quorum line is required
  logs_only,  // only the log lines are read (a witness needs no more)
};

// Returns "line <n>: <fault>" (or a fault of the whole text), or "" with
// `out` filled in.
std::string parse_policy(std::string_view text, PolicyScope scope, Policy& out);

// Whether the witnesses marked in `cosigned` (one flag per entry of
// policy.witnesses) meet the policy's quorum.
bool quorum_met(const Policy& policy, std::span<const bool> cosigned);

}  // namespace oxa::tlog
