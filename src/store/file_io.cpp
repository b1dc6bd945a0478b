#include "store/file_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/os_error.hpp"

namespace oxa {

int open_retrying(const char* path, int flags, unsigned mode) noexcept {
  for (;;) {
    const int fd = ::open(path, flags, static_cast<mode_t>(mode));
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

WriteOutcome write_all(int fd, const char* data, std::size_t size) {
  WriteOutcome outcome;
  while (outcome.written < size) {
    const ssize_t n = ::write(fd, data + outcome.written, size - outcome.written);
    if (n < 0) {
      if (errno == EINTR) continue;
      outcome.error = render_os_error(errno);
      break;
    }
    if (n == 0) {
      outcome.error = write_zero_rendering;
      break;
    }
    outcome.written += static_cast<std::size_t>(n);
  }
  return outcome;
}

std::size_t read_at(int fd, char* out, std::size_t size, std::uint64_t offset, int& os_error) noexcept {
  os_error = 0;
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, out + got, size - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      os_error = errno;
      break;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

}  // namespace oxa
