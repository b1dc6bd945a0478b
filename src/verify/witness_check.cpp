#include "verify/witness_check.hpp"

#include <memory>
#include <vector>

#include "common/regular_file.hpp"
#include "tlog/signed_note.hpp"
#include "verify/verify_errors.hpp"
#include "tlog/cosignature.hpp"

namespace oxa::verify {

namespace {

// A policy names a few logs and witnesses; anything larger is not one.
constexpr std::size_t policy_file_limit = std::size_t{1} << 20;

std::string threshold_words(const tlog::PolicyGroup& group) {
  if (group.threshold == group.members.size()) return "all of ";
  if (group.threshold == 1) return "any of ";
  return std::to_string(group.threshold) + " of ";
}

// A group is spelled out where it is first named and only named after that,
// so that groups shared by several others keep the text as short as the policy.
void describe(const tlog::Policy& policy, const tlog::PolicyMember& member, std::vector<bool>& spelled,
              std::string& out) {
  if (member.kind == tlog::PolicyMember::Kind::witness) {
    out += policy.witnesses[member.index].name;
    return;
  }
  const tlog::PolicyGroup& group = policy.groups[member.index];
  out += group.name;
  if (spelled[member.index]) return;
  spelled[member.index] = true;
  out += " (";
  out += threshold_words(group);
  for (std::size_t i = 0; i < group.members.size(); ++i) {
    if (i > 0) out += ", ";
    describe(policy, group.members[i], spelled, out);
  }
  out += ')';
}

}  // namespace

tlog::Policy read_policy_file(const std::string& path) {
  std::string text;
  int os_error = 0;
  if (std::string error = read_regular_file(path, policy_file_limit, text, os_error); !error.empty())
    throw InputError("policy " + path + ": " + error);
  tlog::Policy policy;
  if (std::string error = tlog::parse_policy(text, tlog::PolicyScope::complete, policy); !error.empty())
    throw UsageError("policy " + path + ": " + error);
  return policy;
}

std::string policy_log_key(const tlog::Policy& policy, const std::string& policy_path,
                           const std::optional<std::string>& notary_key) {
  if (policy.logs.empty()) throw UsageError("policy " + policy_path + ": it names no log (a log <vkey> line)");
  if (!notary_key) {
    if (policy.logs.size() > 1)
      throw UsageError("policy " + policy_path + " names " + std::to_string(policy.logs.size()) +
                       " logs: give --notary-key VKEY to say whose checkpoints these are");
    return tlog::format_verifier_key(policy.logs.front().key);
  }
  tlog::NoteVerifier given;
  if (std::string error = tlog::parse_verifier_key(*notary_key, given); !error.empty())
    throw UsageError("notary key \"" + *notary_key + "\": " + error);
  for (const tlog::PolicyLog& log : policy.logs)
    if (log.key == given) return tlog::format_verifier_key(log.key);
  throw UsageError("--notary-key " + *notary_key + " is not a log key of the policy " + policy_path +
                   ": give one of its log lines' keys, or leave --notary-key out");
}

std::string quorum_text(const tlog::Policy& policy) {
  if (policy.quorum_none) return "none";
  std::vector<bool> spelled(policy.groups.size(), false);
  std::string out;
  describe(policy, policy.quorum, spelled, out);
  return out;
}

NoteWitnesses check_note_witnesses(const tlog::Policy& policy, std::string_view note) {
  NoteWitnesses found;
  std::vector<bool> cosigned(policy.witnesses.size(), false);
  for (std::size_t i = 0; i < policy.witnesses.size(); ++i) {
    switch (tlog::check_cosignature(note, policy.witnesses[i].key)) {
      case tlog::CosignatureCheck::verified:
        cosigned[i] = true;
        found.cosigned.push_back(i);
        break;
      case tlog::CosignatureCheck::bad:
        found.bad.push_back(i);
        break;
      case tlog::CosignatureCheck::absent:
        break;
    }
  }
  // std::vector<bool> has no contiguous storage to hand out as a span.
  std::unique_ptr<bool[]> flags(new bool[cosigned.size() + 1]());
  for (std::size_t i = 0; i < cosigned.size(); ++i) flags[i] = cosigned[i];
  found.quorum = tlog::quorum_met(policy, {flags.get(), cosigned.size()});
  return found;
}

std::vector<std::string> witness_names(const tlog::Policy& policy, const std::vector<std::size_t>& indices) {
  std::vector<std::string> names;
  names.reserve(indices.size());
  for (const std::size_t index : indices) names.push_back(policy.witnesses[index].name);
  return names;
}

std::string bad_cosignature_message(std::string_view checkpoint, std::string_view witness_name) {
  std::string message(checkpoint);
  message += " carries a cosignature line of the witness ";
  message += witness_name;
  message += " (its name and key id) that does not verify: altered or forged";
  return message;
}

std::string unwitnessed_tail_message(std::uint64_t count, std::optional<std::uint64_t> witnessed_size) {
  std::string message = std::to_string(count) + (count == 1 ? " line" : " lines");
  if (witnessed_size) {
    message += " after the last witnessed checkpoint (size " + std::to_string(*witnessed_size) +
               ") are not cosigned by a quorum of witnesses yet";
  } else {
    message += " are not covered by a witnessed checkpoint (none meets the quorum yet)";
  }
  return message;
}

}  // namespace oxa::verify
