/* Stand-ins for the few glibc symbols that the static libstdc++ or the static
 * libsodium refer to and that have no version as old as the glibc floor of the
 * Python extensions. They are hidden, so each extension uses its own copy and
 * exports nothing. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <pthread.h>
#include <time.h>

#define OXA_LOCAL __attribute__((visibility("hidden")))

/* libstdc++ skips atomic reference counting while this is non-zero. Zero
 * says "maybe several threads", which is always true enough: the counts stay
 * atomic and correct, at the price of a locked instruction. (glibc 2.32) */
OXA_LOCAL char __libc_single_threaded = 0;

/* std::random_device's default source (glibc 2.36). The kernel's random
 * source never runs dry once seeded; like glibc, a failure ends the process
 * rather than hand out predictable numbers. getrandom is in glibc from 2.25. */
OXA_LOCAL void arc4random_buf(void* buffer, size_t size) {
  unsigned char* out = buffer;
  while (size > 0) {
    const ssize_t got = getrandom(out, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      abort();
    }
    out += got;
    size -= (size_t)got;
  }
}

OXA_LOCAL uint32_t arc4random(void) {
  uint32_t value;
  arc4random_buf(&value, sizeof value);
  return value;
}

/* Uniform in [0, bound): values below 2^32 mod bound would make the low
 * results likelier, so they are drawn again. */
OXA_LOCAL uint32_t arc4random_uniform(uint32_t bound) {
  if (bound < 2) return 0;
  const uint32_t skew = (uint32_t)(-bound) % bound;
  for (;;) {
    const uint32_t value = arc4random();
    if (value >= skew) return value % bound;
  }
}

/* The static libsodium checks its random device with fstat, a symbol of its
 * own only from glibc 2.33 on (before, the headers turned it into __fxstat).
 * statx is in glibc from 2.28 on and carries everything struct stat holds. */
OXA_LOCAL int fstat(int fd, struct stat* status) {
  struct statx x;
  if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS, &x) != 0) return -1;
  memset(status, 0, sizeof *status);
  status->st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
  status->st_ino = x.stx_ino;
  status->st_mode = x.stx_mode;
  status->st_nlink = x.stx_nlink;
  status->st_uid = x.stx_uid;
  status->st_gid = x.stx_gid;
  status->st_rdev = makedev(x.stx_rdev_major, x.stx_rdev_minor);
  status->st_size = (off_t)x.stx_size;
  status->st_blksize = (blksize_t)x.stx_blksize;
  status->st_blocks = (blkcnt_t)x.stx_blocks;
  status->st_atim.tv_sec = x.stx_atime.tv_sec;
  status->st_atim.tv_nsec = x.stx_atime.tv_nsec;
  status->st_mtim.tv_sec = x.stx_mtime.tv_sec;
  status->st_mtim.tv_nsec = x.stx_mtime.tv_nsec;
  status->st_ctim.tv_sec = x.stx_ctime.tv_sec;
  status->st_ctim.tv_nsec = x.stx_ctime.tv_nsec;
  return 0;
}

/* std::condition_variable's timed waits on the steady clock (glibc 2.30).
 * The condition variable keeps the real-time clock it was made with, so the
 * deadline is carried over to that clock: the wait is as long as asked unless
 * the real-time clock is set meanwhile, which only moves a time-out. */
OXA_LOCAL int pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                                     const struct timespec* deadline) {
  if (clock == CLOCK_REALTIME) return pthread_cond_timedwait(cond, mutex, deadline);
  if (clock != CLOCK_MONOTONIC) return EINVAL;
  struct timespec now, real;
  clock_gettime(CLOCK_MONOTONIC, &now);
  clock_gettime(CLOCK_REALTIME, &real);
  int64_t nanoseconds = (int64_t)(deadline->tv_sec - now.tv_sec) * 1000000000 + (deadline->tv_nsec - now.tv_nsec);
  if (nanoseconds < 0) nanoseconds = 0;
  nanoseconds += real.tv_nsec;
  struct timespec target;
  target.tv_sec = real.tv_sec + (time_t)(nanoseconds / 1000000000);
  target.tv_nsec = (long)(nanoseconds % 1000000000);
  return pthread_cond_timedwait(cond, mutex, &target);
}
