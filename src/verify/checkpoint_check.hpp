#pragma once

#include <future>
#include <optional>
#include <string>
#include <string_view>

#include "notary/checkpoint_check.hpp"
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

inline constexpr std::string_view notary_usage_text =
    "  --checkpoints FILE  the notary's checkpoint file: every byte of every sealed\n"
    "                      line is checked against the signed roots, and a cut-off\n"
    "                      end is found without an anchor (needs --notary-key)\n"
    "  --notary-key VKEY   the notary's published verifier key\n"
    "  --require-sealed    lines after the last checkpoint are a problem\n"
    "  --proof FILE        check one record's tlog-proof instead of a log: its\n"
    "                      inclusion in the signed tree and, with --public-key, its\n"
    "                      own hash and signature\n";

// Whether `name` is one of the options above, and whether it takes a value.
bool is_notary_option(std::string_view name, bool& takes_value);
// Records one option. Throws UsageError for one given twice.
void set_notary_option(NotaryCheckOptions& options, std::string_view name, std::string value);
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
// record within the sealed lines is then a warning, since the signed tree
// proves those lines are the ones the notary saw.
class CheckpointCheck {
 public:
  CheckpointCheck(const VerifyOptions& options, const NotaryCheckOptions& notary);
  void add_to(Report& report);

 private:
  std::future<notary::CheckpointReport> pending_;
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
