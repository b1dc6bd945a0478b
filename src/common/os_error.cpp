#include "common/os_error.hpp"

#include <cerrno>
#include <cstring>

namespace oxa {

std::string_view os_error_kind(int code) {
  switch (code) {
    case ENOENT: return "NotFound";
    case EACCES:
    case EPERM: return "PermissionDenied";
    case EISDIR: return "IsADirectory";
    case ENOTDIR: return "NotADirectory";
    case EROFS: return "ReadOnlyFilesystem";
    case ENOSPC: return "StorageFull";
    case EDQUOT: return "FilesystemQuotaExceeded";
    case EEXIST: return "AlreadyExists";
    case EINTR: return "Interrupted";
    case EAGAIN: return "WouldBlock";
    case EINVAL: return "InvalidInput";
    case ENAMETOOLONG: return "InvalidFilename";
    case ELOOP: return "FilesystemLoop";
    case EFBIG: return "FileTooLarge";
    case EMLINK: return "TooManyLinks";
    case EXDEV: return "CrossesDevices";
    case EBUSY: return "ResourceBusy";
    case ETXTBSY: return "ExecutableFileBusy";
    case ENOTEMPTY: return "DirectoryNotEmpty";
    case ESPIPE: return "NotSeekable";
    case ENOMEM: return "OutOfMemory";
    case ENOSYS:
    case EOPNOTSUPP: return "Unsupported";
    case ESTALE: return "StaleNetworkFileHandle";
    case EDEADLK: return "Deadlock";
    case EPIPE: return "BrokenPipe";
    case ETIMEDOUT: return "TimedOut";
    default: return "Uncategorized";
  }
}

namespace {
std::string system_text(int code) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = ::strerror_r(code, buffer, sizeof buffer);
  return text;
}
}  // namespace

std::string render_os_error(int code) {
  std::string out = "Os { code: ";
  out += std::to_string(code);
  out += ", kind: ";
  out += os_error_kind(code);
  out += ", message: \"";
  out += system_text(code);
  out += "\" }";
  return out;
}

std::string describe_os_error(int code) {
  return system_text(code) + " (os error " + std::to_string(code) + ")";
}

}  // namespace oxa
