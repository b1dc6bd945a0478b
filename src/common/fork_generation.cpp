#include "common/fork_generation.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace oxa {

namespace {

std::atomic<std::uint64_t> forks_seen{1};

void count_fork_in_child() noexcept { forks_seen.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::uint64_t fork_generation() noexcept {
  static const bool hooked = pthread_atfork(nullptr, nullptr, count_fork_in_child) == 0;
  if (!hooked) return static_cast<std::uint64_t>(::getpid());
  return forks_seen.load(std::memory_order_relaxed);
}

}  // namespace oxa
