#pragma once

#include <future>
#include <optional>
#include <string>
#include <string_view>

#include "verify/sealed_lines_check.hpp"
#include "verify/verifier.hpp"
#include "tlog/policy.hpp"

// What oxa-verify adds with the notary's checkpoints and proofs:
//   --checkpoints FILE (--notary-key VKEY | --policy FILE) [--require-sealed] [--require-witnessed]
//   --proof FILE (--notary-key VKEY | --policy FILE) [--public-key HEX]
// A policy gives the notary's key (its log line) and the witnesses whose
// cosignatures each checkpoint needs to meet its quorum.
namespace oxa::verify {

struct NotaryCheckOptions {
  std::optional<std::string> checkpoints;
  std::optional<std::string> notary_key;
  std::optional<std::string> proof;
  std::optional<std::string> policy;
  bool require_sealed = false;
  bool require_witnessed = false;
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
//
// With a policy, each checkpoint that verifies has its cosignatures checked
// (`bad-cosignature`), and the last one that holds and meets the quorum is
// the last witnessed one: none is `witness-quorum`, and lines after it are
// an `unwitnessed-tail` warning (a problem with require_witnessed).
class CheckpointCheck {
 public:
  CheckpointCheck(const VerifyOptions& options, const NotaryCheckOptions& notary);
  void add_to(Report& report);

  // What the cosignatures of the checkpoints that verify showed.
  struct WitnessTally {
    std::vector<Finding> bad;   // bad-cosignature problems, the first ones
    std::uint64_t bad_not_listed = 0;
    struct Met {
      std::uint64_t size = 0;
      std::vector<std::size_t> cosigned;
    };
    std::vector<Met> met;  // the checkpoints that meet the quorum, in file order
  };

 private:
  struct Outcome {
    CheckpointReport found;
    WitnessTally witnesses;
  };
  void add_witnesses(Report& report, const CheckpointReport& found, WitnessTally& tally);

  std::future<Outcome> pending_;
  std::optional<tlog::Policy> policy_;
  bool require_sealed_ = false;
  bool require_witnessed_ = false;
};

// The outcome of a proof check (one record), with its report as plain text
// and as one JSON object (ok, line, tree_size, origin, record_checked,
// public_key, problems; with a policy also witnesses, the ones whose
// cosignatures verify, and quorum). With a policy, a cosignature that does
// not verify is `bad-cosignature` and cosignatures short of the quorum are
// `witness-quorum`. Throws as above.
struct ProofOutcome {
  bool ok = false;
  std::string plain;
  std::string json;
};
ProofOutcome verify_proof(const VerifyOptions& options, const NotaryCheckOptions& notary);

}  // namespace oxa::verify
