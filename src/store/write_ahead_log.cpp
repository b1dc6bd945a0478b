#include "store/write_ahead_log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "common/file_status.hpp"
#include "common/os_error.hpp"
#include "store/file_io.hpp"
#include "store/trusted_file.hpp"

namespace oxa {

namespace {

// O_NONBLOCK: a FIFO without a reader fails the open (ENXIO) instead of
// blocking it until a reader comes, possibly forever.
constexpr int append_flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK;
// The log holds prompts and outputs: a new one is never readable by others.
// An existing log keeps the mode it has.
constexpr unsigned log_mode = 0640;

// An open log, or why it could not be opened.
struct OpenedLog {
  int fd = -1;
  std::string error;  // set when fd < 0
};

// Opens the log by its name. The name is opened with O_NOFOLLOW first: in
// the common case, a regular file, that is the only system call. A name that
// is a symbolic link (ELOOP) is followed only when every link on its chain
// is owned by this user or root, before and after the open, and only when
// the chain still ends at the file opened: someone who can write the log's
// directory could otherwise plant a link that leads this user's records
// (prompts, outputs) into any file this user may write, such as a shell's
// start-up file.
OpenedLog open_log(const char* path, int flags) {
  OpenedLog log;
  log.fd = open_retrying(path, flags | O_NOFOLLOW, log_mode);
  if (log.fd >= 0) return log;
  if (errno != ELOOP) {
    log.error = render_os_error(errno);
    return log;
  }
  if (auto reason = planted_link_chain_reason(path, nullptr, "opened")) {
    log.error = std::move(*reason);
    return log;
  }
  log.fd = open_retrying(path, flags, log_mode);
  if (log.fd < 0) {
    log.error = render_os_error(errno);
    return log;
  }
  FileStatus opened;
  std::optional<std::string> reason;
  if (const int error = file_status(log.fd, opened)) {
    reason = render_os_error(error);
  } else {
    reason = planted_link_chain_reason(path, &opened, "opened");
  }
  if (reason) {
    ::close(log.fd);
    log.fd = -1;
    log.error = std::move(*reason);
  }
  return log;
}

// How long an unterminated end must stay unchanged before it counts as a
// cut-short line rather than another process's line still being written.
constexpr auto settle_time = std::chrono::milliseconds(20);

// The size of the open regular file and whether its last byte is a line
// feed; nullopt when that cannot be told (or the file is empty or special).
struct Tail {
  off_t size;
  bool line_feed;
};
std::optional<Tail> read_tail(int fd) {
  FileStatus status;
  if (file_status(fd, status) != 0 || !status.regular() || status.size == 0) return std::nullopt;
  char last = '\n';
  ssize_t n;
  do {
    n = ::pread(fd, &last, 1, static_cast<off_t>(status.size - 1));
  } while (n < 0 && errno == EINTR);
  if (n != 1) return std::nullopt;
  return Tail{static_cast<off_t>(status.size), last == '\n'};
}

// Whether the log at `path` ends in a line without its line feed. Anything
// that cannot be checked counts as a clean end: a wrong guess would put an
// empty line into the log. Another process's append of a long line can be
// seen half done, so an unterminated end counts only if it stays put for a
// moment; a log that grows meanwhile is being written by others, whose whole
// lines end it.
bool ends_in_partial_line(const char* path) {
  const int fd = open_log(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY).fd;
  if (fd < 0) return false;
  bool partial = false;
  if (const auto first = read_tail(fd); first && !first->line_feed) {
    std::this_thread::sleep_for(settle_time);
    const auto second = read_tail(fd);
    partial = second && second->size == first->size && !second->line_feed;
  }
  ::close(fd);
  return partial;
}

}  // namespace

WriteAheadLog::WriteAheadLog(std::string path)
    : path_(std::move(path)), in_memory_(path_ == memory_log_path) {
  if (in_memory_ || holds_nul(path_)) return;
  const int fd = open_log(path_.c_str(), append_flags).fd;
  if (fd < 0) return;
  ::close(fd);
  ends_in_partial_line_ = ends_in_partial_line(path_.c_str());
}

std::optional<std::string> WriteAheadLog::append(std::string& line) {
  if (in_memory_) return std::nullopt;
  if (holds_nul(path_)) return std::string(nul_in_path_rendering);

  OpenedLog log;
  if (ends_in_partial_line_) {
    // The flag is only what this object last knew: since then a relative
    // path may name another file, or the log may have been truncated or
    // rotated. Look at the file's end again before separating the line
    // (a read-write open, on this rare path only).
    log = open_log(path_.c_str(), (append_flags & ~O_WRONLY) | O_RDWR);
    if (log.fd >= 0) {
      const auto tail = read_tail(log.fd);
      ends_in_partial_line_ = tail && !tail->line_feed;
    }
  }
  if (log.fd < 0) log = open_log(path_.c_str(), append_flags);
  if (log.fd < 0) return std::move(log.error);
  const int fd = log.fd;
  // Once open, writes block as usual: a FIFO whose reader is slow takes the
  // whole line in its time rather than a part of it now. (Regular files
  // ignore the flag either way.)
  ::fcntl(fd, F_SETFL, O_APPEND);

  if (ends_in_partial_line_) line.insert(line.begin(), '\n');
  line.push_back('\n');
  const WriteOutcome outcome = write_all(fd, line.data(), line.size());
  // Only this object's own bytes are known: the file now ends in the last of
  // them, and in a line feed only when that was the leading or the final one
  // (the JSON text itself holds none).
  if (outcome.written > 0) ends_in_partial_line_ = line[outcome.written - 1] != '\n';

  // On some file systems (NFS) a deferred write error surfaces only here.
  const int close_error = ::close(fd) != 0 && errno != EINTR ? errno : 0;
  if (!outcome.ok()) return outcome.error;
  if (close_error != 0) return render_os_error(close_error);
  return std::nullopt;
}

}  // namespace oxa
