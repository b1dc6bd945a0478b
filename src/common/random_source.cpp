#include "common/random_source.hpp"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "common/fork_generation.hpp"

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

namespace {

// Sixteen UUIDs per system call.
constexpr std::size_t batch_bytes = 256;

struct RandomBatch {
  std::uint64_t generation;  // fork generation the bytes were drawn in; 0 before the first draw
  std::size_t used;          // bytes already served
  std::array<std::uint8_t, batch_bytes> bytes;
};

// Zero-initialised and trivially destructible: no per-thread constructor or
// exit hook. used = 0 with generation 0 never matches a real generation.
thread_local RandomBatch thread_batch{};

}  // namespace

int draw_identifier_random(std::span<std::uint8_t> buffer) noexcept {
  if (buffer.size() > batch_bytes) return fill_random(buffer);

  RandomBatch& batch = thread_batch;
  // A batch drawn under another generation was inherited through fork().
  const std::uint64_t generation = fork_generation();
  if (batch.generation != generation || batch_bytes - batch.used < buffer.size()) {
    // Marked empty first: a refill that fails part-way serves nothing.
    batch.generation = 0;
    if (const int error = fill_random(batch.bytes); error != 0) return error;
    batch.generation = generation;
    batch.used = 0;
  }
  std::memcpy(buffer.data(), batch.bytes.data() + batch.used, buffer.size());
  // Served bytes are cleared so that they stay in memory only as identifiers.
  std::memset(batch.bytes.data() + batch.used, 0, buffer.size());
  batch.used += buffer.size();
  return 0;
}

}  // namespace oxa
