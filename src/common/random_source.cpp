#include "common/random_source.hpp"

#include <sys/random.h>

#include <cerrno>

namespace oxa {

int fill_random(std::span<std::uint8_t> buffer) noexcept {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const ssize_t got = ::getrandom(buffer.data() + filled, buffer.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    filled += static_cast<std::size_t>(got);
  }
  return 0;
}

}  // namespace oxa
