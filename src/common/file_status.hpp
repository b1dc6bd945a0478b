#pragma once

#include <cstdint>
#include <sys/types.h>

namespace oxa {

// What the system tells of a file. Read through statx(2), whose symbol every
// glibc from 2.28 on exports, so that the built module still loads on older
// distributions than the one it was built on (stat and fstat became symbols
// of their own only in glibc 2.33).
struct FileStatus {
  mode_t mode = 0;  // type and permission bits, as st_mode
  uid_t owner = 0;
  gid_t group = 0;
  std::uint64_t size = 0;
  std::uint64_t device = 0;  // major and minor folded into one number
  std::uint64_t inode = 0;

  bool regular() const noexcept;
  bool fifo() const noexcept;
  bool directory() const noexcept;
};

// The status of an open descriptor. Returns 0, or the error number.
int file_status(int fd, FileStatus& status) noexcept;

// The status of a path, following symbolic links. Returns 0, or the error number.
int path_status(const char* path, FileStatus& status) noexcept;

// The status of a path itself, without following a final symbolic link.
int link_status(const char* path, FileStatus& status) noexcept;

}  // namespace oxa
