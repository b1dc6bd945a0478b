#pragma once

#include <memory>
#include <string>
#include <vector>

#include "notary/checkpoint.hpp"
#include "notary/merkle_tree.hpp"
#include "verify/log_source.hpp"

namespace oxa::notary {

// The complete lines of a log, read through the verifier's reader of the
// logical log; a last line without its line feed is not a leaf yet. Read
// failures are thrown as NotaryInputError.
class CompleteLines {
 public:
  explicit CompleteLines(const std::vector<std::string>& logs);
  bool next(verify::LogLine& line);

 private:
  std::unique_ptr<verify::LogSource> source_;
};

struct KnownCheckpoint {
  const Checkpoint* checkpoint = nullptr;
  TreeHash root{};  // the root its note signs
};

// Where a log starts when its older pieces were deleted: at checkpoint k
// (in growing order) when the log's first lines take exactly the bytes and
// the count of lines between checkpoint k and the next and, continuing k's
// frontier, give the next signed root. Returns known.size() when none fits.
std::size_t find_later_start(const std::vector<std::string>& logs, const std::vector<KnownCheckpoint>& known);

}  // namespace oxa::notary
