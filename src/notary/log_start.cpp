#include "notary/log_start.hpp"

#include "notary/notary_commands.hpp"

namespace oxa::notary {

CompleteLines::CompleteLines(const std::vector<std::string>& logs) {
  try {
    source_ = std::make_unique<verify::LogSource>(logs);
  } catch (const verify::LogSourceError& error) {
    throw NotaryInputError(error.what());
  }
}

bool CompleteLines::next(verify::LogLine& line) {
  try {
    return source_->next(line) && line.terminated;
  } catch (const verify::LogSourceError& error) {
    throw NotaryInputError(error.what());
  }
}

std::size_t find_later_start(const std::vector<std::string>& logs, const std::vector<KnownCheckpoint>& known) {
  CompleteLines lines(logs);
  std::vector<std::uint64_t> ends;  // of the first lines, read as far as needed
  std::vector<TreeHash> leaves;
  for (std::size_t k = 0; k + 1 < known.size(); ++k) {
    const Checkpoint& start = *known[k].checkpoint;
    const Checkpoint& next = *known[k + 1].checkpoint;
    if (next.size <= start.size || next.bytes < start.bytes) continue;
    const std::uint64_t count = next.size - start.size;
    const std::uint64_t bytes = next.bytes - start.bytes;
    verify::LogLine line;
    while (leaves.size() < count && (ends.empty() || ends.back() < bytes) && lines.next(line)) {
      ends.push_back(line.offset + line.text.size() + 1);
      leaves.push_back(leaf_hash(line.text));
    }
    if (leaves.size() < count || ends[count - 1] != bytes) continue;
    TreeBuilder tree;
    if (!tree.resume(start.size, start.frontier)) continue;
    for (std::uint64_t i = 0; i < count; ++i) tree.append(leaves[i]);
    if (tree.root() == known[k + 1].root) return k;
  }
  return known.size();
}

}  // namespace oxa::notary
