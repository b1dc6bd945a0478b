#pragma once

#include <cstdint>

namespace oxa {

// Tells state inherited through fork() from state made in this process: a
// value read earlier differs from the current one once the process that read
// it has been forked, as seen from the child. Reading it costs no system call:
// a pthread_atfork handler, installed by the first call, counts the forks in
// the child. Never 0, so that 0 can stand for "not yet read".
//
// Should the handler fail to install, the process identifier stands in for
// the count (a system call per read, but still a sound answer).
std::uint64_t fork_generation() noexcept;

}  // namespace oxa
