#pragma once

#include <string>

#include "verify/checkpoint_check.hpp"
#include "verify/verifier.hpp"

namespace oxa::verify {

inline constexpr int exit_ok = 0;        // no problem found (warnings allowed)
inline constexpr int exit_problems = 1;  // at least one problem
inline constexpr int exit_usage = 2;     // a usage error, or input that cannot be read

// The whole verification of a log: its records, and its checkpoints when
// they are given (else one `hash-only` warning says what was not checked).
// Throws as verify_log() and CheckpointCheck do.
Report verify_everything(const VerifyOptions& options, const NotaryCheckOptions& notary,
                         const Progress& progress = {});

// The `oxa-verify` command once its arguments are parsed: the report goes to
// `out_fd` (plain or JSON), errors and progress to `err_fd`. Returns the exit
// status. With `notary.proof`, checks that proof instead of a log. With
// `json_copy`, a log's report is also stored there as JSON (left empty when
// no log report was made), for a caller that renders it further.
int run_verify_command(const VerifyOptions& options, const NotaryCheckOptions& notary, bool as_json,
                       int out_fd = 1, int err_fd = 2, std::string* json_copy = nullptr);

}  // namespace oxa::verify
