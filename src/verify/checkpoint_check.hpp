#pragma once

#include <future>
#include <optional>
#include <string>
#include <string_view>

#include "verify/sealed_lines_check.hpp"
#include "verify/verifier.hpp"

// What oxa-verify adds with the notary's checkpoints and proofs:
//   --checkpoints FILE --notary-key VKEY [--require-sealed]
//   --proof FILE --notary-key VKEY [--public-key HEX]
namespace oxa::verify {

struct NotaryCheckOptions {
  std::optional<std::string> checkpoints;
  std::optional<std::string> notary_key;
  std::optional<std::string> proof;
  bool require_sealed = false;
};

// Whether the options ask for a proof check or a checkpoint check.
bool wants_notary(const NotaryCheckOptions& options);

// The checkpoint check of a log, run on a thread of its own beside the
// verification (it reads the log a second time and hashes every line). Does
// nothing when no notary option was given. The constructor throws UsageError
// for options that do not go together; add_to() waits for the check, adds
// its findings to the report in line order and updates `ok`, and throws
// UsageError for an unusable --notary-key and InputError for an unreadable
// checkpoint file.
//
// When the log starts at a checkpoint (older pieces deleted), the chains of
// records before it cannot be followed: a chain-break on a chain's first
// record within the sealed lines is then a `starts-mid-chain` warning, since
// the signed tree proves those lines are the ones the notary saw.
class CheckpointCheck {
 public:
  CheckpointCheck(const VerifyOptions& options, const NotaryCheckOptions& notary);
  void add_to(Report& report);

 private:
  std::future<CheckpointReport> pending_;
  bool require_sealed_ = false;
};

// The outcome of a proof check (one record), with its report as plain text
// and as one JSON object (ok, line, tree_size, origin, record_checked,
// public_key, problems). Throws as above.
struct ProofOutcome {
  bool ok = false;
  std::string plain;
  std::string json;
};
ProofOutcome verify_proof(const VerifyOptions& options, const NotaryCheckOptions& notary);

}  // namespace oxa::verify
