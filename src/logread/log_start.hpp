#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "logread/log_source.hpp"
#include "tlog/checkpoint.hpp"
#include "tlog/merkle_tree.hpp"

namespace oxa::logread {

// The longest line held whole while reading a log, as the verifier's
// default: a longer one is hashed as it streams past and never held.
inline constexpr std::size_t default_line_limit = std::size_t{64} << 20;

// The complete lines of a log with their leaf hashes, read through
// LogSource as one logical log; a last line without its line feed is
// not a leaf yet. A line longer than the limit (0: none) comes with too_long
// set and no text, but with its exact leaf, hashed while its bytes streamed
// past: only what needs a line's text has to refuse it. Read failures are
// thrown as UnusableInputError.
class CompleteLines {
 public:
  // Starts at byte `start` of the logical log, numbering its first line
  // `first_number`, as LogSource does.
  CompleteLines(const std::vector<std::string>& logs, std::size_t line_limit, std::uint64_t start = 0,
                std::uint64_t first_number = 1);
  ~CompleteLines();
  CompleteLines(const CompleteLines&) = delete;
  CompleteLines& operator=(const CompleteLines&) = delete;

  bool next(LogLine& line, tlog::TreeHash& leaf);
  // The next complete line without its leaf, for a reader that needs the
  // leaves of only some lines; leaf() then gives the leaf of that line, once
  // and before the next line is read.
  bool next(LogLine& line);
  tlog::TreeHash leaf(const LogLine& line);
  // Logical bytes passed so far (a last line without its line feed included).
  std::uint64_t bytes_consumed() const noexcept { return source_->bytes_consumed(); }

 private:
  class LeafSink;
  // Declared first: the source keeps a pointer to it.
  std::unique_ptr<LeafSink> sink_;
  std::unique_ptr<LogSource> source_;
};

struct KnownCheckpoint {
  const tlog::Checkpoint* checkpoint = nullptr;
  tlog::TreeHash root{};  // the root its note signs
};

// Where a log starts when its older pieces were deleted: at checkpoint k
// (in growing order) when the log's first lines take exactly the bytes and
// the count of lines between checkpoint k and the next and, continuing k's
// frontier, give the next signed root. Returns known.size() when none fits.
std::size_t find_later_start(const std::vector<std::string>& logs, const std::vector<KnownCheckpoint>& known,
                             std::size_t line_limit);

}  // namespace oxa::logread
