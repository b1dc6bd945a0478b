/* Test-only LD_PRELOAD shim: lets a test make the system random source or a
 * clock fail on demand, to reach the internal-fault paths, and count the files
 * a call opens. Inert until one of the control functions is called through
 * ctypes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/random.h>
#include <sys/types.h>
#include <time.h>

static int random_errno = 0;
static int failing_clock = -1;
static int clock_errno = 0;
static int realtime_before_epoch = 0;

static int counting_opens = 0;
static int opens_counted = 0;

void oxa_shim_fail_random(int errnum) { random_errno = errnum; }
void oxa_shim_count_opens(int on) { counting_opens = on; opens_counted = 0; }
int oxa_shim_opens_counted(void) { return opens_counted; }
void oxa_shim_fail_clock(int clock_id, int errnum) { failing_clock = clock_id; clock_errno = errnum; }
void oxa_shim_realtime_before_epoch(int on) { realtime_before_epoch = on; }

ssize_t getrandom(void *buffer, size_t length, unsigned int flags) {
  static ssize_t (*real)(void *, size_t, unsigned int) = 0;
  if (random_errno) {
    errno = random_errno;
    return -1;
  }
  if (!real) real = (ssize_t (*)(void *, size_t, unsigned int))dlsym(RTLD_NEXT, "getrandom");
  return real(buffer, length, flags);
}

int clock_gettime(clockid_t clock_id, struct timespec *now) {
  static int (*real)(clockid_t, struct timespec *) = 0;
  if (clock_errno && clock_id == failing_clock) {
    errno = clock_errno;
    return -1;
  }
  if (realtime_before_epoch && clock_id == CLOCK_REALTIME) {
    now->tv_sec = -86400;
    now->tv_nsec = 0;
    return 0;
  }
  if (!real) real = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
  return real(clock_id, now);
}

/* open and its variants: counted, then passed on. */
#define OXA_FORWARD_OPEN(name, ...)                                          \
  {                                                                          \
    static int (*real)() = 0;                                                \
    mode_t mode = 0;                                                         \
    if (flags & (O_CREAT | O_TMPFILE)) {                                     \
      va_list args;                                                          \
      va_start(args, flags);                                                 \
      mode = va_arg(args, mode_t);                                           \
      va_end(args);                                                          \
    }                                                                        \
    if (counting_opens) ++opens_counted;                                     \
    if (!real) real = (int (*)())dlsym(RTLD_NEXT, name);                     \
    return real(__VA_ARGS__, mode);                                          \
  }

int open(const char *path, int flags, ...) OXA_FORWARD_OPEN("open", path, flags)
int open64(const char *path, int flags, ...) OXA_FORWARD_OPEN("open64", path, flags)
int openat(int dir, const char *path, int flags, ...) OXA_FORWARD_OPEN("openat", dir, path, flags)
int openat64(int dir, const char *path, int flags, ...) OXA_FORWARD_OPEN("openat64", dir, path, flags)
