#include "module/borrow.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

namespace oxa::py {

namespace {

// The borrows the calling thread holds, newest first, linked through the
// guards themselves.
thread_local BorrowGuard* newest_held = nullptr;

// One wake-up for every instance: a release with waiters notifies all of
// them and each rechecks its own instance. Contention is rare enough that
// per-instance condition variables would only make every object bigger.
//
// Lock order: the interpreter lock, then wake_mutex; never the reverse. A
// waiter locks wake_mutex before it releases the interpreter lock, so a
// releasing thread (which needs the interpreter lock to change the state)
// cannot notify in the gap before the waiter sleeps; the waiter drops
// wake_mutex before it takes the interpreter lock back.
//
// Both are made once and never destroyed: daemon threads may still wait
// while the process exits.
std::mutex& wake_mutex = *new std::mutex;
std::condition_variable& wake = *new std::condition_variable;

// A waiting thread looks up now and then, so that a signal handler (Ctrl-C
// in the main thread) can end a wait that would otherwise never end.
constexpr auto signal_check_interval = std::chrono::milliseconds(100);

// Counts the fork() calls that made this process, as seen from the child.
std::atomic<std::uint32_t> fork_generation{0};

// Around a fork, wake_mutex is held by the forking thread, so that the child
// never inherits it locked by a thread it does not have (a waiter holds it
// without the interpreter lock). The child starts both primitives afresh:
// the waiters recorded in the condition variable are gone.
void lock_wake_before_fork() noexcept { wake_mutex.lock(); }
void unlock_wake_in_parent() noexcept { wake_mutex.unlock(); }
void renew_wake_in_child() noexcept {
  new (&wake_mutex) std::mutex;
  new (&wake) std::condition_variable;
  fork_generation.fetch_add(1, std::memory_order_relaxed);
}

std::uint32_t current_fork_generation() noexcept {
  static const bool hooked =
      pthread_atfork(lock_wake_before_fork, unlock_wake_in_parent, renew_wake_in_child) == 0;
  (void)hooked;  // without the hook, borrows stay as inherited, as they always did
  return fork_generation.load(std::memory_order_relaxed);
}

void wake_waiters() noexcept {
  { const std::lock_guard<std::mutex> lock(wake_mutex); }
  wake.notify_all();
}

[[noreturn]] void refuse(const char* message) {
  PyErr_SetString(PyExc_RuntimeError, message);
  throw ErrorAlreadySet{};
}

}  // namespace

BorrowGuard::BorrowGuard(BorrowCount& state, bool exclusive) : state_(&state), exclusive_(exclusive) {
  for (;;) {
    forget_vanished_threads(state);
    // Free instances, the common case, never walk the chain.
    const bool mine = state.count != 0 && (state.abandoned || held_by_this_thread(state));
    if (exclusive) {
      if (state.count == 0) break;
      if (mine) refuse(already_borrowed_message);
    } else if (state.count == -1) {
      if (mine) refuse(already_mutably_borrowed_message);
    } else if (mine || state.waiting_writers == 0) {
      break;
    }
    wait_for_release(state, exclusive);
  }
  state.count = exclusive ? -1 : state.count + 1;
  below_ = newest_held;
  newest_held = this;
}

void BorrowGuard::release() noexcept {
  if (state_ == nullptr) return;
  BorrowCount& state = *state_;
  forget_vanished_threads(state);  // while this guard still counts as held
  state_ = nullptr;
  state.count = exclusive_ ? 0 : state.count - 1;

  if (newest_held == this) {
    newest_held = below_;
  } else {
    for (BorrowGuard* guard = newest_held; guard != nullptr; guard = guard->below_) {
      if (guard->below_ == this) {
        guard->below_ = below_;
        break;
      }
    }
  }

  if (state.count == 0 && state.waiters != 0) wake_waiters();
}

bool BorrowGuard::held_by_this_thread(const BorrowCount& state) noexcept {
  for (const BorrowGuard* guard = newest_held; guard != nullptr; guard = guard->below_) {
    if (guard->state_ == &state) return true;
  }
  return false;
}

void BorrowGuard::forget_vanished_threads(BorrowCount& state) noexcept {
  const std::uint32_t generation = current_fork_generation();
  if (state.fork_generation == generation) return;
  state.fork_generation = generation;
  // Only this thread came through the fork: what it holds is all that is held.
  Py_ssize_t shared = 0;
  bool exclusive = false;
  for (const BorrowGuard* guard = newest_held; guard != nullptr; guard = guard->below_) {
    if (guard->state_ != &state) continue;
    if (guard->exclusive_) exclusive = true;
    else ++shared;
  }
  if (state.count == -1 && !exclusive) state.abandoned = true;  // stays held
  else state.count = exclusive ? -1 : shared;
  state.waiters = 0;
  state.waiting_writers = 0;
}

void BorrowGuard::wait_for_release(BorrowCount& state, bool exclusive) {
  ++state.waiters;
  if (exclusive) ++state.waiting_writers;
  {
    std::unique_lock<std::mutex> lock(wake_mutex);
    PyThreadState* const saved = PyEval_SaveThread();
    wake.wait_for(lock, signal_check_interval);
    lock.unlock();
    PyEval_RestoreThread(saved);
  }
  --state.waiters;
  if (exclusive) --state.waiting_writers;

  if (PyErr_CheckSignals() != 0) {
    // Readers held back by this writer must not sleep on until their next check.
    if (exclusive && state.waiters != 0) wake_waiters();
    throw ErrorAlreadySet{};
  }
}

}  // namespace oxa::py
