#pragma once

#include <functional>
#include <span>
#include <string>

namespace oxa::notary {

inline constexpr int notary_exit_ok = 0;
inline constexpr int notary_exit_refused = 1;  // the log contradicts what was signed before
inline constexpr int notary_exit_usage = 2;    // a usage error, or input that cannot be read

// The whole `oxa-notary` command (keygen, seal, follow, prove): `args` are its
// arguments without the program name. Results go to `out_fd`, errors to
// `err_fd`. `should_stop` is asked now and then while `follow` runs. Returns
// the exit status.
int run_notary_command(std::span<const std::string> args, const std::function<bool()>& should_stop,
                       int out_fd = 1, int err_fd = 2);

}  // namespace oxa::notary
