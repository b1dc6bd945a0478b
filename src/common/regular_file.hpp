#pragma once

#include <cstddef>
#include <string>

namespace oxa {

// Reads a whole file that must be a regular file: named where a file of
// checkpoints or a proof is meant, a pipe or a device would block the reader
// or feed it without end. The file is opened without blocking (a pipe with no
// writer does not hold the open) and read up to the size it had when opened,
// so a file that keeps growing does not keep the reader going either.
//
// Returns "" with `content` filled in, or what is wrong (without the file's
// name), with `os_error` set to the error number when the system refused.
// A file larger than `limit` bytes is refused unread.
std::string read_regular_file(const std::string& path, std::size_t limit, std::string& content, int& os_error);

}  // namespace oxa
