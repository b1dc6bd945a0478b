#pragma once

#include <cstdint>
#include <span>

namespace oxa {

// Fills the buffer from the system random source (getrandom(2)), retrying
// interrupted and short reads. Returns 0, or the errno of the failure.
int fill_random(std::span<std::uint8_t> buffer) noexcept;

// Random bytes for identifiers (UUIDs), never for keys: served from a small
// per-thread batch that is refilled from the system random source, so that
// most identifiers cost no system call. Threads never share a batch, and a
// process made by fork() discards the batch it inherited, so a child never
// repeats its parent's bytes. Returns 0, or the errno of a failed refill (the
// buffer's content is then unspecified).
int draw_identifier_random(std::span<std::uint8_t> buffer) noexcept;

}  // namespace oxa
