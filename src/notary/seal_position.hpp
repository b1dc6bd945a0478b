#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tlog/checkpoint.hpp"

// Where the last checkpoint's lines end in a log of one plain file, as the
// notary found them when it sealed: a later seal that can trust it starts
// reading there instead of counting every covered line again. It is a hint
// only: it is used after a check against the file and the signed tree, and
// anything missing, stale or not matching means a full count.
namespace oxa::notary {

// Beside the tiles, whose inclusion path of the last sealed line the check uses.
inline constexpr std::string_view seal_position_file_name = "notary-position";

struct SealPosition {
  std::uint64_t size = 0;   // lines sealed
  std::uint64_t bytes = 0;  // log bytes they take, up to the last one's line feed
  std::uint64_t device = 0;  // the log file's identity when they were counted
  std::uint64_t inode = 0;
};

// The position stored in `tiles_dir`, or false when there is none that reads.
bool read_seal_position(const std::string& tiles_dir, SealPosition& position);

// Stores the position (temporary file, flushed, renamed over the old one).
// Returns false when it could not: the next seal then counts the lines.
bool write_seal_position(const std::string& tiles_dir, const SealPosition& position);

// Whether the log file at `log_path` can be continued at `last.bytes` without
// counting its lines: `position` was stored for `last` and this file, the file
// holds at least that many bytes, its byte before them is a line feed, and the
// line that feed ends is leaf `last.size - 1` of the tree whose root
// `root` is, by its inclusion path from the tiles in `tiles_dir`. The line is
// read only if it is at most `line_limit` bytes long (0: no limit).
bool seal_position_holds(const std::string& log_path, const SealPosition& position, const tlog::Checkpoint& last,
                         const tlog::TreeHash& root, const std::string& tiles_dir, std::size_t line_limit);

}  // namespace oxa::notary
