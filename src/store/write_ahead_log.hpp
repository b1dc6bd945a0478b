#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace oxa {

// The log path that means "no files at all".
inline constexpr std::string_view memory_log_path = ":memory:";

// The append-only log of one engine: one JSON text per line. The file is
// opened and closed within each operation, and the path is resolved anew each
// time, so a relative path follows the process's current directory. A new
// log is created mode 0640 (before the umask). A symbolic link at the name is
// followed only when this user or root owns every link on the way and it
// still leads to the file opened; otherwise the log is not written.
class WriteAheadLog {
 public:
  // Touches the file so that it exists from the start (creating it empty when
  // it can; failures are ignored), and notes whether an existing log ends in
  // an unterminated line.
  explicit WriteAheadLog(std::string path);

  const std::string& path() const { return path_; }
  bool in_memory() const { return in_memory_; }

  // Appends `line` (JSON text without its line feed) as one line, in a single
  // write so that concurrent writers cannot land inside it. The buffer is
  // the caller's scratch space: the line feed is added to it, and a leading
  // line feed too when the log is known to end in a cut-short line, so that
  // the new line stands on its own. Returns nullopt on success (and always
  // for ":memory:"), otherwise the rendering of the error or the reason a
  // link at the name was not followed.
  std::optional<std::string> append(std::string& line);

 private:
  std::string path_;
  bool in_memory_;
  // The log is known to end in a line without its line feed.
  bool ends_in_partial_line_ = false;
};

}  // namespace oxa
