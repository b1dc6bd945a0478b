#pragma once

#include <span>
#include <string>

namespace oxa::verify {

inline constexpr int exit_ok = 0;        // no problem found (warnings allowed)
inline constexpr int exit_problems = 1;  // at least one problem
inline constexpr int exit_usage = 2;     // a usage error, or input that cannot be read

// The whole `oxa-verify` command: `args` are its arguments without the
// program name. The report goes to `out_fd`, errors and progress to `err_fd`.
// Returns the exit status. With `json_copy`, a log's report is also stored
// there as JSON (left empty when no log report was made), for a caller that
// renders it further.
int run_verify_command(std::span<const std::string> args, int out_fd = 1, int err_fd = 2,
                       std::string* json_copy = nullptr);

}  // namespace oxa::verify
