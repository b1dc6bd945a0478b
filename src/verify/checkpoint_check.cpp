#include "verify/checkpoint_check.hpp"

#include <algorithm>

#include "notary/checkpoint_check.hpp"
#include "notary/notary_commands.hpp"
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
  add_findings(report.problems, std::move(found.problems));
  add_findings(report.warnings, std::move(found.warnings));
  report.ok = report.problems.empty() && report.problems_not_listed == 0;
}

Report verify_proof(const VerifyOptions& options, const NotaryCheckOptions& notary) {
  require_key(notary, "--proof");
  if (!options.paths.empty()) throw UsageError("--proof checks one record: give no LOG");
  if (notary.checkpoints || notary.require_sealed) throw UsageError("--proof goes without --checkpoints");
  notary::ProofReport found;
  try {
    found = notary::check_proof(*notary.proof, *notary.notary_key, options.public_key.value_or(""));
  } catch (const notary::NotaryInputError& error) {
    const std::string_view message = error.what();
    if (message.rfind("notary key", 0) == 0 || message.rfind("public key", 0) == 0) throw UsageError(error.what());
    throw InputError(error.what());
  }
  Report report;
  report.lines = 1;
  report.records = 1;
  if (options.public_key) {
    report.public_key = *options.public_key;
    report.key_source = key_source_argument;
  }
  add_findings(report.problems, std::move(found.problems));
  report.ok = report.problems.empty();
  return report;
}

}  // namespace oxa::verify
