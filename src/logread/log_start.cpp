#include "logread/log_start.hpp"

#include "common/unusable_input_error.hpp"

namespace oxa::logread {

// Hashes each too-long line while the source streams it past.
class CompleteLines::LeafSink : public LongLineSink {
 public:
  void begin_line() override { hasher.start(); }
  void line_bytes(std::string_view bytes) override { hasher.add(bytes); }
  tlog::LeafHasher hasher;
};

CompleteLines::CompleteLines(const std::vector<std::string>& logs, std::size_t line_limit, std::uint64_t start,
                             std::uint64_t first_number)
    : sink_(std::make_unique<LeafSink>()) {
  try {
    source_ = std::make_unique<LogSource>(logs, start, first_number);
  } catch (const LogSourceError& error) {
    throw UnusableInputError(error.what());
  }
  source_->set_line_limit(line_limit);
  source_->set_long_line_sink(sink_.get());
}

CompleteLines::~CompleteLines() = default;

bool CompleteLines::next(LogLine& line, tlog::TreeHash& leaf) {
  if (!next(line)) return false;
  leaf = this->leaf(line);
  return true;
}

bool CompleteLines::next(LogLine& line) {
  try {
    return source_->next(line) && line.terminated;
  } catch (const LogSourceError& error) {
    throw UnusableInputError(error.what());
  }
}

tlog::TreeHash CompleteLines::leaf(const LogLine& line) {
  // A too-long line was hashed while it streamed past; the sink starts
  // afresh at the next one, whether or not this leaf was asked for.
  return line.too_long ? sink_->hasher.finish() : tlog::leaf_hash(line.text);
}

std::size_t find_later_start(const std::vector<std::string>& logs, const std::vector<KnownCheckpoint>& known,
                             std::size_t line_limit) {
  CompleteLines lines(logs, line_limit);
  std::vector<std::uint64_t> ends;  // of the first lines, read as far as needed
  std::vector<tlog::TreeHash> leaves;
  for (std::size_t k = 0; k + 1 < known.size(); ++k) {
    const tlog::Checkpoint& start = *known[k].checkpoint;
    const tlog::Checkpoint& next = *known[k + 1].checkpoint;
    if (next.size <= start.size || next.bytes < start.bytes) continue;
    const std::uint64_t count = next.size - start.size;
    const std::uint64_t bytes = next.bytes - start.bytes;
    LogLine line;
    tlog::TreeHash leaf;
    while (leaves.size() < count && (ends.empty() || ends.back() < bytes) && lines.next(line, leaf)) {
      ends.push_back(line.offset + line.length + 1);
      leaves.push_back(leaf);
    }
    if (leaves.size() < count || ends[count - 1] != bytes) continue;
    tlog::TreeBuilder tree;
    if (!tree.resume(start.size, start.frontier)) continue;
    for (std::uint64_t i = 0; i < count; ++i) tree.append(leaves[i]);
    if (tree.root() == known[k + 1].root) return k;
  }
  return known.size();
}

}  // namespace oxa::logread
