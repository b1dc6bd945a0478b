#include "common/regular_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/file_status.hpp"
#include "common/os_error.hpp"
#include "store/file_io.hpp"

namespace oxa {

std::string read_regular_file(const std::string& path, std::size_t limit, std::string& content, int& os_error) {
  os_error = 0;
  content.clear();
  if (holds_nul(path)) return std::string(nul_in_path_rendering);
  // O_NONBLOCK: opening a pipe for reading would otherwise wait for a writer.
  const Descriptor fd(open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) {
    os_error = errno;
    return describe_os_error(os_error);
  }
  FileStatus status;
  if (const int error = file_status(fd.get(), status); error != 0) {
    os_error = error;
    return describe_os_error(error);
  }
  if (!status.regular()) {
    return status.directory() ? "a directory, not a regular file" : "not a regular file (a pipe, socket or device)";
  }
  if (status.size > limit) return "larger than " + std::to_string(limit) + " bytes";
  // Bytes appended after the open are not read: the read ends at the size seen here.
  content.resize(static_cast<std::size_t>(status.size));
  std::size_t got = 0;
  while (got < content.size()) {
    const ssize_t n = ::read(fd.get(), content.data() + got, content.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      os_error = errno;
      content.clear();
      return describe_os_error(os_error);
    }
    if (n == 0) break;  // the file shrank since it was opened
    got += static_cast<std::size_t>(n);
  }
  content.resize(got);
  return {};
}

}  // namespace oxa
