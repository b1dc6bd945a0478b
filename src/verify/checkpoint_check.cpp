#include "verify/checkpoint_check.hpp"

#include <algorithm>

#include "common/file_status.hpp"
#include "notary/checkpoint_check.hpp"
#include "notary/notary_commands.hpp"
#include "store/file_io.hpp"
#include "store/json_writer.hpp"
#include "verify/key_reading.hpp"
#include "verify/report_text.hpp"
#include "verify/verify_errors.hpp"

namespace oxa::verify {

namespace {

void require_key(const NotaryCheckOptions& notary, std::string_view what) {
  if (!notary.notary_key) throw UsageError(std::string(what) + " needs --notary-key VKEY");
}

void add_findings(std::vector<Finding>& into, std::vector<notary::CheckFinding>&& found) {
  for (auto& finding : found) into.push_back(Finding{finding.line, finding.kind, std::move(finding.message)});
  // Line order, line 0 (what concerns no single line) first, as the log's own findings.
  std::stable_sort(into.begin(), into.end(), [](const Finding& a, const Finding& b) { return a.line < b.line; });
}

void continue_chains_from_before(const notary::CheckpointReport& found, Report& report) {
  const std::uint64_t sealed = found.sealed_lines - found.start_size;
  auto first_of_a_chain = [&report](std::uint64_t line) {
    return std::any_of(report.chains.begin(), report.chains.end(),
                       [line](const ChainSummary& chain) { return chain.first_line == line; });
  };
  std::vector<Finding> kept;
  for (Finding& problem : report.problems) {
    if (problem.kind == kind_chain_break && problem.line <= sealed && first_of_a_chain(problem.line)) {
      problem.message = "its chain continues from before the log's first line, which starts at the checkpoint of size " +
                        std::to_string(found.start_size) + " (older pieces gone): " + problem.message;
      report.warnings.push_back(std::move(problem));
    } else {
      kept.push_back(std::move(problem));
    }
  }
  report.problems = std::move(kept);
  std::stable_sort(report.warnings.begin(), report.warnings.end(),
                   [](const Finding& a, const Finding& b) { return a.line < b.line; });
}

}  // namespace

bool is_notary_option(std::string_view name, bool& takes_value) {
  takes_value = name != "--require-sealed";
  return name == "--checkpoints" || name == "--notary-key" || name == "--proof" || name == "--require-sealed";
}

void set_notary_option(NotaryCheckOptions& options, std::string_view name, std::string value) {
  if (name == "--require-sealed") {
    options.require_sealed = true;
    return;
  }
  std::optional<std::string>& slot =
      name == "--checkpoints" ? options.checkpoints : name == "--notary-key" ? options.notary_key : options.proof;
  if (slot) throw UsageError(std::string(name) + " given twice");
  slot = std::move(value);
}

bool wants_notary(const NotaryCheckOptions& options) {
  return options.checkpoints || options.proof || options.notary_key || options.require_sealed;
}

CheckpointCheck::CheckpointCheck(const VerifyOptions& options, const NotaryCheckOptions& notary) {
  if (!wants_notary(notary)) return;
  if (!notary.checkpoints) {
    throw UsageError(notary.require_sealed ? "--require-sealed needs --checkpoints FILE"
                                           : "--notary-key needs --checkpoints FILE or --proof FILE");
  }
  require_key(notary, "--checkpoints");
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
  pending_ = std::async(std::launch::async, [paths = options.paths, notary] {
    return notary::check_log_checkpoints(paths, *notary.checkpoints, *notary.notary_key, notary.require_sealed);
  });
}

void CheckpointCheck::add_to(Report& report) {
  if (!pending_.valid()) return;
  notary::CheckpointReport found;
  try {
    found = pending_.get();
  } catch (const notary::NotaryInputError& error) {
    if (std::string_view(error.what()).rfind("notary key", 0) == 0) throw UsageError(error.what());
    throw InputError(error.what());
  }
  const bool tree_holds = std::none_of(found.problems.begin(), found.problems.end(), [](const auto& problem) {
    return problem.kind == notary::kind_checkpoint_mismatch || problem.kind == notary::kind_truncated;
  });
  if (found.start_size > 0 && tree_holds) continue_chains_from_before(found, report);
  report.statistics.sealing = SealingSummary{true, found.checkpoints, found.sealed_lines, found.start_size, found.origin};
  add_findings(report.problems, std::move(found.problems));
  add_findings(report.warnings, std::move(found.warnings));
  report.ok = report.problems.empty() && report.problems_not_listed == 0;
}

ProofOutcome verify_proof(const VerifyOptions& options, const NotaryCheckOptions& notary) {
  require_key(notary, "--proof");
  if (!options.paths.empty()) throw UsageError("--proof checks one record: give no LOG");
  if (notary.checkpoints || notary.require_sealed) throw UsageError("--proof goes without --checkpoints");
  // An anchor is a root some record of a whole log must have: a single record
  // cannot answer for it, and ignoring it would pass what was asked to fail.
  if (!options.anchors.empty()) throw UsageError("--proof goes without --anchor");
  // A key that was given but is empty (an unset shell variable) must not quietly
  // skip the record's own hash and signature check.
  if (options.public_key) parse_hex32(*options.public_key, "the public key");
  notary::ProofReport found;
  try {
    found = notary::check_proof(*notary.proof, *notary.notary_key, options.public_key.value_or(""));
  } catch (const notary::NotaryInputError& error) {
    const std::string_view message = error.what();
    if (message.rfind("notary key", 0) == 0 || message.rfind("public key", 0) == 0) throw UsageError(error.what());
    throw InputError(error.what());
  }
  ProofOutcome outcome;
  outcome.ok = found.problems.empty();

  std::string& plain = outcome.plain;
  plain = "proof of line " + std::to_string(found.line);
  if (found.tree_size > 0) plain += " in the tree of " + std::to_string(found.tree_size) + " lines signed for " + found.origin;
  plain += "\n";
  plain += found.record_checked ? "record: hash and signature checked under public key " + *options.public_key + "\n"
                                : "record: its own hash and signature not checked (no --public-key)\n";
  if (!found.problems.empty()) {
    plain += "problems:\n";
    for (const notary::CheckFinding& problem : found.problems) {
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
  std::vector<Finding> problems;
  for (const notary::CheckFinding& problem : found.problems) problems.push_back(Finding{problem.line, problem.kind, problem.message});
  findings_json(out, "problems", problems);
  json::end_object(out);
  out += '\n';
  return outcome;
}

}  // namespace oxa::verify
