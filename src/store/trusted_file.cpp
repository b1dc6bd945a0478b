#include "store/trusted_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "common/internal_fault.hpp"
#include "common/os_error.hpp"

namespace oxa {

namespace {

[[noreturn]] void refuse(std::string_view prefix, std::string_view detail) {
  std::string message(prefix);
  message += detail;
  throw InternalFault(message);
}

std::string quoted_path(std::string_view path) {
  std::string quoted(1, '\'');
  quoted += path;
  quoted += '\'';
  return quoted;
}

std::string file_kind(const FileStatus& status, std::string_view noun) {
  switch (status.mode & S_IFMT) {
    case S_IFIFO: return "a FIFO";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFSOCK: return "a socket";
    default: return "not a kind of file a " + std::string(noun) + " can be";
  }
}

std::string not_ours(std::string_view what, uid_t owner) {
  return std::string(what) + " owned by uid " + std::to_string(owner) +
         ", neither this process's user (uid " + std::to_string(::geteuid()) +
         ") nor root: someone else may have planted it";
}

bool ours_or_roots(uid_t owner) noexcept { return owner == ::geteuid() || owner == 0; }

// As many links as the system follows in one path before it gives up (ELOOP).
constexpr int most_links_followed = 40;

// The directory part of `path` with its trailing slash, or "" for a bare name.
std::string directory_prefix(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

bool same_file(const FileStatus& a, const FileStatus& b) noexcept {
  return a.device == b.device && a.inode == b.inode;
}

}  // namespace

std::string mode_text(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

bool readable_by_others(const FileStatus& status) noexcept {
  return (status.mode & (S_IRGRP | S_IROTH)) != 0;
}

std::optional<std::string> planted_name_reason(std::string_view path, const FileStatus& opened,
                                               std::string_view activity) {
  const std::string quoted = quoted_path(path);
  FileStatus name;
  const std::string changed = quoted + " changed while it was " + std::string(activity);
  if (link_status(std::string(path).c_str(), name) != 0) return changed;
  if ((name.mode & S_IFMT) == S_IFLNK) {
    if (!ours_or_roots(name.owner)) return not_ours(quoted + " is a symbolic link", name.owner);
  } else if (!same_file(name, opened)) {
    return changed;
  }
  return std::nullopt;
}

std::optional<std::string> planted_link_chain_reason(std::string_view path, const FileStatus* opened,
                                                     std::string_view activity) {
  const std::string quoted = quoted_path(path);
  std::string name(path);
  for (int links = 0; links < most_links_followed; ++links) {
    // The walk ends at the first name that is no link or cannot be looked at
    // (it leads nowhere yet, or a link of /proc whose text names no path).
    FileStatus status;
    if (link_status(name.c_str(), status) != 0 || (status.mode & S_IFMT) != S_IFLNK) break;
    if (!ours_or_roots(status.owner)) {
      if (links == 0) return not_ours(quoted + " is a symbolic link", status.owner);
      return not_ours(quoted + " leads through " + quoted_path(name) + ", a symbolic link", status.owner);
    }
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(name.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) break;
    target.resize(static_cast<std::size_t>(length));
    // A relative target is resolved from the directory that holds the link.
    name = target.front() == '/' ? std::move(target) : directory_prefix(name) + target;
  }
  // Where the name leads now, as the system resolves it, must be the file
  // opened: a chain changed after the open is refused, not judged by what it
  // is now.
  FileStatus now;
  if (opened != nullptr && (path_status(std::string(path).c_str(), now) != 0 || !same_file(now, *opened))) {
    return quoted + " changed while it was " + std::string(activity);
  }
  return std::nullopt;
}

FileStatus check_trusted_file(int fd, std::string_view path, const TrustedFileWording& wording) {
  FileStatus status;
  if (const int error = file_status(fd, status)) refuse(wording.prefix, render_os_error(error));
  // A directory keeps the system's own wording, as reading it would give.
  if (status.directory()) refuse(wording.prefix, render_os_error(EISDIR));

  const std::string quoted = quoted_path(path);
  if (!status.regular()) {
    refuse(wording.prefix, quoted + " is not a regular file (" + file_kind(status, wording.noun) + ")");
  }
  if (!ours_or_roots(status.owner)) refuse(wording.prefix, not_ours(quoted + " is", status.owner));
  if ((status.mode & (S_IWGRP | S_IWOTH)) != 0) {
    refuse(wording.prefix, quoted + " has mode " + mode_text(status.mode) +
                               ", writable by group or others: someone else may have replaced the " +
                               std::string(wording.noun));
  }
  if (auto reason = planted_name_reason(path, status, "read")) refuse(wording.prefix, *reason);
  return status;
}

}  // namespace oxa
