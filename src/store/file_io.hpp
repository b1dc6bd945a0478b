#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

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

// pread(2) from `offset` until `size` bytes are read, the file ends, or an
// error other than an interruption. Returns the bytes read; `os_error` is 0,
// or the error that stopped the reading.
std::size_t read_at(int fd, char* out, std::size_t size, std::uint64_t offset, int& os_error) noexcept;

// A descriptor closed on every way out of its scope.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Descriptor() { reset(); }
  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int get() const noexcept { return fd_; }
  // Closes now and reports the error, for a descriptor whose writes matter.
  int close_reporting() noexcept {
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0 && errno != EINTR) return errno;
    return 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace oxa
