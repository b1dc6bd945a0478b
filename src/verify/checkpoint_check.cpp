#include "verify/checkpoint_check.hpp"

#include <algorithm>
#include <cstdint>

#include "common/file_status.hpp"
#include "common/unusable_input_error.hpp"
#include "engine/decision_history.hpp"
#include "store/file_io.hpp"
#include "store/json_writer.hpp"
#include "verify/key_reading.hpp"
#include "verify/report_text.hpp"
#include "verify/sealed_lines_check.hpp"
#include "verify/verify_errors.hpp"
#include "verify/witness_check.hpp"

namespace oxa::verify {

namespace {

void require_key(const NotaryCheckOptions& notary, std::string_view what) {
  if (!notary.notary_key) throw UsageError(std::string(what) + " needs --notary-key VKEY or --policy FILE");
}

// The notary's key: the policy's log line when a policy is given, else --notary-key.
std::string notary_key_text(const NotaryCheckOptions& notary, const std::optional<tlog::Policy>& policy,
                            std::string_view what) {
  if (policy) return policy_log_key(*policy, *notary.policy, notary.notary_key);
  require_key(notary, what);
  return *notary.notary_key;
}

// At most this many bad-cosignature problems are listed; the rest are counted.
constexpr std::size_t bad_cosignature_listing_limit = 1000;

std::string witness_quorum_message(std::string_view quorum) {
  std::string message = "no checkpoint that verifies and matches the log meets the witness quorum ";
  message += quorum;
  message += ": nothing shows that the witnesses saw this history (never witnessed, or rewritten and sealed "
             "again after they saw it)";
  return message;
}

std::string proof_quorum_message(std::string_view quorum, const std::vector<std::string>& cosigned) {
  std::string message = "the checkpoint's cosignatures ";
  if (cosigned.empty()) {
    message += "(none that verify)";
  } else {
    message += "(by ";
    for (std::size_t i = 0; i < cosigned.size(); ++i) message += (i > 0 ? ", " : "") + cosigned[i];
    message += ')';
  }
  message += " do not meet the witness quorum ";
  message += quorum;
  return message;
}

void add_findings(std::vector<Finding>& into, std::vector<CheckFinding>&& found) {
  for (auto& finding : found) into.push_back(Finding{finding.line, finding.kind, std::move(finding.message)});
  // Line order, line 0 (what concerns no single line) first, as the log's own findings.
  std::stable_sort(into.begin(), into.end(), [](const Finding& a, const Finding& b) { return a.line < b.line; });
}

constexpr std::string_view wrong_notary_key_message =
    "no checkpoint verifies under this notary key: is it the right key?";

// Whether a checkpoint was refused for its signature rather than its form.
bool refused_for_signature(const CheckFinding& problem) {
  return problem.kind == kind_bad_checkpoint &&
         (problem.message.find("carries no signature of the key") != std::string::npos ||
          problem.message.find("signature does not verify under the key") != std::string::npos);
}

// The notary seals complete lines only, so a torn last line that was still
// checked as a record is never covered by a checkpoint: it is one more
// unsealed line, and a problem when sealing is required.
void count_torn_record_unsealed(std::uint64_t line, bool require_sealed, CheckpointReport& found) {
  const std::uint64_t count = found.unsealed_lines + 1;
  for (auto* list : {&found.problems, &found.warnings}) {
    for (CheckFinding& finding : *list) {
      if (finding.kind != kind_unsealed_tail) continue;
      finding.message = unsealed_tail_message(count);
      return;
    }
  }
  CheckFinding finding{line, kind_unsealed_tail, unsealed_tail_message(count)};
  (require_sealed ? found.problems : found.warnings).push_back(std::move(finding));
}

}  // namespace

bool wants_notary(const NotaryCheckOptions& options) {
  return options.checkpoints || options.proof || options.notary_key || options.policy || options.require_sealed ||
         options.require_witnessed;
}

CheckpointCheck::CheckpointCheck(const VerifyOptions& options, const NotaryCheckOptions& notary) {
  if (!wants_notary(notary)) return;
  require_sealed_ = notary.require_sealed;
  require_witnessed_ = notary.require_witnessed;
  if (notary.require_witnessed && !notary.policy) throw UsageError("--require-witnessed needs --policy FILE");
  if (!notary.checkpoints) {
    throw UsageError(notary.require_sealed      ? "--require-sealed needs --checkpoints FILE"
                     : notary.require_witnessed ? "--require-witnessed needs --checkpoints FILE"
                     : notary.policy            ? "--policy needs --checkpoints FILE or --proof FILE"
                                                : "--notary-key needs --checkpoints FILE or --proof FILE");
  }
  if (notary.policy) policy_ = read_policy_file(*notary.policy);
  const std::string key = notary_key_text(notary, policy_, "--checkpoints");
  for (const std::string& path : options.paths) {
    if (path == "-") throw UsageError("--checkpoints needs the log in files: standard input cannot be read twice");
    // The check reads the log beside the verification: two readers of one
    // pipe would each get part of it and report an intact log as damaged.
    FileStatus status;
    if (!holds_nul(path) && path_status(path.c_str(), status) == 0 && !status.regular() && !status.directory()) {
      throw UsageError("--checkpoints needs the log in files: " + path +
                       " is a pipe or device, which cannot be read twice");
    }
  }
  // The verifier's own line limit: a line it passes over is hashed, not held, here too.
  const std::size_t line_limit = static_cast<std::size_t>(std::min<std::uint64_t>(options.max_line_bytes, SIZE_MAX - 1));
  // The thread holds its own copy of the policy: it may outlive this object
  // when the verification beside it throws.
  pending_ = std::async(std::launch::async, [paths = options.paths, notary, key, line_limit, policy = policy_] {
    Outcome outcome;
    VerifiedCheckpoint on_verified;
    if (policy) {
      on_verified = [&](std::uint64_t file_line, const tlog::Checkpoint& checkpoint) {
        const NoteWitnesses witnesses = check_note_witnesses(*policy, checkpoint.note);
        WitnessTally& tally = outcome.witnesses;
        for (const std::size_t bad : witnesses.bad) {
          if (tally.bad.size() >= bad_cosignature_listing_limit) {
            ++tally.bad_not_listed;
            continue;
          }
          const std::string checkpoint_name = "the checkpoint of size " + std::to_string(checkpoint.size) +
                                              " (line " + std::to_string(file_line) + " of " +
                                              *notary.checkpoints + ")";
          tally.bad.push_back(
              Finding{0, kind_bad_cosignature, bad_cosignature_message(checkpoint_name, policy->witnesses[bad].name)});
        }
        if (witnesses.quorum) tally.met.push_back({checkpoint.size, witnesses.cosigned});
      };
    }
    outcome.found = check_log_checkpoints(paths, *notary.checkpoints, key, notary.require_sealed,
                                         line_limit, on_verified);
    return outcome;
  });
}

void CheckpointCheck::add_witnesses(Report& report, const CheckpointReport& found, WitnessTally& tally) {
  const tlog::Policy& policy = *policy_;
  CheckpointSummary& summary = report.checkpoints;
  summary.witnesses_checked = true;
  for (const tlog::PolicyWitness& witness : policy.witnesses) summary.witnesses.push_back(witness.name);
  summary.quorum = quorum_text(policy);
  // Checkpoints grow in size through the file, and those up to the last
  // size the log's lines match are the ones that hold.
  const WitnessTally::Met* last = nullptr;
  for (const WitnessTally::Met& met : tally.met)
    if (met.size <= found.sealed_lines) last = &met;
  if (last != nullptr) {
    summary.witnessed = true;
    summary.witnessed_size = last->size;
    summary.witnessed_by = witness_names(policy, last->cosigned);
    summary.witnessed_lines = std::min(report.lines, last->size > found.start_size ? last->size - found.start_size : 0);
  }
  summary.unwitnessed_lines = report.lines - summary.witnessed_lines;

  for (Finding& finding : tally.bad) report.problems.push_back(std::move(finding));
  report.problems_not_listed += tally.bad_not_listed;
  if (last == nullptr && !policy.quorum_none) {
    report.problems.push_back(Finding{0, kind_witness_quorum, witness_quorum_message(summary.quorum)});
  } else if (summary.unwitnessed_lines > 0) {
    Finding finding{summary.witnessed_lines + 1, kind_unwitnessed_tail,
                    unwitnessed_tail_message(summary.unwitnessed_lines,
                                             summary.witnessed ? std::optional(summary.witnessed_size) : std::nullopt)};
    (require_witnessed_ ? report.problems : report.warnings).push_back(std::move(finding));
  }
}

void CheckpointCheck::add_to(Report& report) {
  if (!pending_.valid()) return;
  Outcome outcome;
  try {
    outcome = pending_.get();
  } catch (const UnusableInputError& error) {
    if (std::string_view(error.what()).rfind("notary key", 0) == 0) throw UsageError(error.what());
    throw InputError(error.what());
  }
  CheckpointReport& found = outcome.found;
  const bool tree_holds = std::none_of(found.problems.begin(), found.problems.end(), [](const auto& problem) {
    return problem.kind == kind_checkpoint_mismatch || problem.kind == kind_truncated;
  });
  CheckpointSummary& summary = report.checkpoints;
  summary.checked = true;
  summary.origin = found.origin;
  summary.count = found.checkpoints;
  summary.sealed_lines = found.sealed_lines - found.start_size;
  summary.unsealed_lines = report.lines > summary.sealed_lines ? report.lines - summary.sealed_lines : 0;
  summary.last_size = found.last_size;
  // When the log starts at a checkpoint (older pieces gone), the lines up to
  // the last checkpoint that holds are those the notary saw: a chain's first
  // record among them may extend a root from before them. Whatever follows
  // those lines (a later mismatch, a cut-off end) does not change that.
  if (found.start_size > 0 && summary.sealed_lines > 0) {
    excuse_chain_starts(report, summary.sealed_lines,
                        "its chain continues from before the log's first line, which starts at the checkpoint of "
                        "size " + std::to_string(found.start_size) +
                            " (older pieces gone); its consistency analysis is replayed only after " +
                            std::to_string(history_limit) + " of its records");
  }
  if (report.torn_record_line != 0 && tree_holds) count_torn_record_unsealed(report.torn_record_line, require_sealed_, found);
  const bool wrong_key = found.checkpoints == 0 &&
                         std::any_of(found.problems.begin(), found.problems.end(), refused_for_signature);
  if (wrong_key) found.problems.insert(found.problems.begin(), {0, kind_wrong_key, std::string(wrong_notary_key_message)});
  report.statistics.sealing = SealingSummary{true, found.checkpoints, found.sealed_lines, found.start_size, found.origin};
  if (policy_) add_witnesses(report, found, outcome.witnesses);
  add_findings(report.problems, std::move(found.problems));
  add_findings(report.warnings, std::move(found.warnings));
  locate_findings(report);
  report.ok = report.problems.empty() && report.problems_not_listed == 0;
}

ProofOutcome verify_proof(const VerifyOptions& options, const NotaryCheckOptions& notary) {
  std::optional<tlog::Policy> policy;
  if (notary.policy) policy = read_policy_file(*notary.policy);
  const std::string key = notary_key_text(notary, policy, "--proof");
  if (!options.paths.empty()) throw UsageError("--proof checks one record: give no LOG");
  if (notary.checkpoints || notary.require_sealed) throw UsageError("--proof goes without --checkpoints");
  // A proof carries one checkpoint, whose quorum a policy always requires.
  if (notary.require_witnessed) throw UsageError("--proof goes without --require-witnessed");
  // An anchor is a root some record of a whole log must have: a single record
  // cannot answer for it, and ignoring it would pass what was asked to fail.
  if (!options.anchors.empty()) throw UsageError("--proof goes without --anchor");
  // A key that was given but is empty (an unset shell variable) must not quietly
  // skip the record's own hash and signature check.
  if (options.public_key) parse_hex32(*options.public_key, "the public key");
  ProofReport found;
  try {
    found = check_proof(*notary.proof, key, options.public_key.value_or(""));
  } catch (const UnusableInputError& error) {
    const std::string_view message = error.what();
    if (message.rfind("notary key", 0) == 0 || message.rfind("public key", 0) == 0) throw UsageError(error.what());
    throw InputError(error.what());
  }
  const bool note_verified = std::none_of(found.problems.begin(), found.problems.end(), [](const auto& problem) {
    return problem.kind == kind_bad_checkpoint;
  });
  NoteWitnesses witnesses;
  std::string quorum;
  if (policy) {
    quorum = quorum_text(*policy);
    if (note_verified) witnesses = check_note_witnesses(*policy, found.note);
    for (const std::size_t bad : witnesses.bad)
      found.problems.push_back(
          {found.line, kind_bad_cosignature, bad_cosignature_message("the proof's checkpoint", policy->witnesses[bad].name)});
    if (note_verified && !witnesses.quorum)
      found.problems.push_back(
          {found.line, kind_witness_quorum, proof_quorum_message(quorum, witness_names(*policy, witnesses.cosigned))});
  }
  const std::vector<std::string> cosigned = policy ? witness_names(*policy, witnesses.cosigned) : std::vector<std::string>{};
  ProofOutcome outcome;
  outcome.ok = found.problems.empty();

  std::string& plain = outcome.plain;
  plain = "proof of line " + std::to_string(found.line);
  if (found.tree_size > 0) plain += " in the tree of " + std::to_string(found.tree_size) + " lines signed for " + found.origin;
  plain += "\n";
  plain += found.record_checked ? "record: hash and signature checked under public key " + *options.public_key + "\n"
                                : "record: its own hash and signature not checked (no --public-key)\n";
  if (policy && note_verified) {
    plain += "witnesses: ";
    if (cosigned.empty()) plain += "no cosignature verifies";
    for (std::size_t i = 0; i < cosigned.size(); ++i) plain += (i == 0 ? "cosigned by " : ", ") + cosigned[i];
    plain += "; quorum " + quorum + (witnesses.quorum ? " met\n" : " not met\n");
  }
  if (!found.problems.empty()) {
    plain += "problems:\n";
    for (const CheckFinding& problem : found.problems) {
      plain += "  line " + std::to_string(problem.line) + ": " + std::string(problem.kind) + ": " + problem.message + "\n";
    }
  }
  plain += outcome.ok ? "OK: no problem found\n"
                      : "FAILED: " + std::to_string(found.problems.size()) +
                            (found.problems.size() == 1 ? " problem\n" : " problems\n");

  std::string& out = outcome.json;
  json::begin_object(out);
  json::key(out, "ok");
  json::boolean(out, outcome.ok);
  json::separator(out);
  json::key(out, "line");
  json::unsigned_integer(out, found.line);
  json::separator(out);
  json::key(out, "tree_size");
  json::unsigned_integer(out, found.tree_size);
  json::separator(out);
  json::key(out, "origin");
  json::string(out, found.origin);
  json::separator(out);
  json::key(out, "record_checked");
  json::boolean(out, found.record_checked);
  json::separator(out);
  json::key(out, "public_key");
  json::string(out, options.public_key.value_or(""));
  json::separator(out);
  if (policy) {
    json::key(out, "witnesses");
    json::begin_array(out);
    for (std::size_t i = 0; i < cosigned.size(); ++i) {
      if (i > 0) json::separator(out);
      json::string(out, cosigned[i]);
    }
    json::end_array(out);
    json::separator(out);
    json::key(out, "quorum");
    json::string(out, quorum);
    json::separator(out);
    json::key(out, "quorum_met");
    json::boolean(out, note_verified && witnesses.quorum);
    json::separator(out);
  }
  std::vector<Finding> problems;
  for (const CheckFinding& problem : found.problems) problems.push_back(Finding{problem.line, problem.kind, problem.message});
  findings_json(out, "problems", problems);
  json::end_object(out);
  out += '\n';
  return outcome;
}

}  // namespace oxa::verify
