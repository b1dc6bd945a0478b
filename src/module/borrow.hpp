#pragma once

#include <Python.h>

#include <cstdint>

#include "module/py_ref.hpp"

namespace oxa::py {

inline constexpr const char* already_borrowed_message = "Already borrowed";
inline constexpr const char* already_mutably_borrowed_message = "Already mutably borrowed";

// The borrow state of one instance. Read and changed only with the
// interpreter lock held.
struct BorrowCount {
  Py_ssize_t count = 0;               // 0 free, -1 exclusive, n > 0 shared by n borrows
  std::uint32_t waiters = 0;          // threads waiting for the instance to come free
  std::uint32_t waiting_writers = 0;  // those of them that want it exclusively
  // The fork() generation of the process that the fields above describe (see
  // BorrowGuard): a child inherits them from threads it does not have.
  std::uint32_t fork_generation = 0;
  // Held exclusively by a thread that did not survive a fork: the instance
  // may be half changed, and no one will ever give it back.
  bool abandoned = false;
};

// Holds a shared or exclusive borrow of one instance and releases it on every
// path out of the operation.
//
// An instance held by another thread is waited for, with the interpreter lock
// released, as CPython's buffered files guard themselves: threads sharing one
// engine or one context object take turns instead of failing. Only the thread
// that already holds a borrow of the instance is refused ("Already borrowed",
// "Already mutably borrowed"): that happens when Python code run inside an
// operation (json.dumps during a capture) re-enters it, where waiting would
// never end. Readers defer to a waiting writer unless their thread already
// holds the instance, so that a stream of overlapping captures cannot starve
// an assignment.
//
// A process made by fork() has only the thread that forked. Borrows that the
// other threads held are dropped there: shared ones simply end (readers change
// nothing), an exclusive one leaves its instance abandoned, refused for good
// as if the child's own thread held it, since waiting would never end and its
// state may be torn.
class BorrowGuard {
 public:
  // Both return the guard in place (guaranteed copy elision): its address is
  // linked into the calling thread's chain of held borrows.
  static BorrowGuard shared(BorrowCount& state) { return BorrowGuard(state, false); }
  static BorrowGuard exclusive(BorrowCount& state) { return BorrowGuard(state, true); }

  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard(BorrowGuard&&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  BorrowGuard& operator=(BorrowGuard&&) = delete;

  ~BorrowGuard() { release(); }

  // Gives the borrow back before the end of the scope; idempotent.
  void release() noexcept;

 private:
  // Takes the borrow, waiting while another thread holds the instance; throws
  // ErrorAlreadySet for a re-entry or when a signal handler raises meanwhile.
  BorrowGuard(BorrowCount& state, bool exclusive);

  static bool held_by_this_thread(const BorrowCount& state) noexcept;
  static void forget_vanished_threads(BorrowCount& state) noexcept;
  static void wait_for_release(BorrowCount& state, bool exclusive);

  BorrowCount* state_;
  bool exclusive_;
  BorrowGuard* below_ = nullptr;  // the borrow this thread took before this one
};

}  // namespace oxa::py
