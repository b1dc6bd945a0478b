#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace oxa {

// The rendering of a write that the system accepted with zero bytes written,
// so that no progress can be made.
inline constexpr std::string_view write_zero_rendering =
    "Error { kind: WriteZero, message: \"failed to write whole buffer\" }";

inline bool holds_nul(std::string_view path) noexcept {
  return path.find('\0') != std::string_view::npos;
}

// open(2), repeated while interrupted by a signal. Returns the descriptor, or
// -1 with errno set.
int open_retrying(const char* path, int flags, unsigned mode = 0) noexcept;

// The outcome of write_all: how many bytes reached the file, and the error
// rendering when not all of them did.
struct WriteOutcome {
  std::size_t written = 0;
  std::string error;  // empty on success
  bool ok() const noexcept { return error.empty(); }
};

// Writes all `size` bytes, continuing after partial writes and interrupted
// calls. A write that accepts no bytes counts as a failure.
WriteOutcome write_all(int fd, const char* data, std::size_t size);

}  // namespace oxa
