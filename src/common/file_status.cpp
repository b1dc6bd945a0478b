#include "common/file_status.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace oxa {

namespace {

int query(int dirfd, const char* path, int flags, FileStatus& status) noexcept {
  struct statx result {};
  if (::statx(dirfd, path, flags | AT_STATX_SYNC_AS_STAT,
              STATX_TYPE | STATX_MODE | STATX_UID | STATX_GID | STATX_SIZE | STATX_INO,
              &result) != 0) {
    return errno;
  }
  status.mode = result.stx_mode;
  status.owner = result.stx_uid;
  status.group = result.stx_gid;
  status.size = result.stx_size;
  status.device = (static_cast<std::uint64_t>(result.stx_dev_major) << 32) | result.stx_dev_minor;
  status.inode = result.stx_ino;
  return 0;
}

}  // namespace

bool FileStatus::regular() const noexcept { return S_ISREG(mode); }
bool FileStatus::fifo() const noexcept { return S_ISFIFO(mode); }
bool FileStatus::directory() const noexcept { return S_ISDIR(mode); }

int file_status(int fd, FileStatus& status) noexcept {
  return query(fd, "", AT_EMPTY_PATH, status);
}

int path_status(const char* path, FileStatus& status) noexcept {
  return query(AT_FDCWD, path, 0, status);
}

int link_status(const char* path, FileStatus& status) noexcept {
  return query(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, status);
}

}  // namespace oxa
