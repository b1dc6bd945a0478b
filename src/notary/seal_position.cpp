#include "notary/seal_position.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string>
#include <vector>

#include "common/file_status.hpp"
#include "logread/log_source.hpp"
#include "store/file_io.hpp"
#include "tlog/tiles.hpp"

namespace oxa::notary {

namespace {

constexpr std::string_view position_header = "oxa-notary position\n";
// A position file is one short line after its header; anything longer is not one.
constexpr std::size_t position_file_limit = 256;
// The last sealed line is found by reading back from its line feed, in
// blocks that double from a size that holds a usual record whole.
constexpr std::size_t first_read_back = std::size_t{1} << 12;
constexpr std::size_t largest_read_back = std::size_t{1} << 20;
// Without a line limit, a last line longer than this is counted the slow way.
constexpr std::size_t unlimited_line_cap = std::size_t{64} << 20;

std::string position_path(const std::string& tiles_dir) {
  return tiles_dir + "/" + std::string(seal_position_file_name);
}

// Exactly `size` bytes at `offset`, or false.
bool read_exactly_at(int fd, char* out, std::size_t size, std::uint64_t offset) {
  int os_error = 0;
  return read_at(fd, out, size, offset, os_error) == size;
}

bool parse_number(std::string_view& text, char end, std::uint64_t& out) {
  const auto [at, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  if (error != std::errc() || at == text.data() || at == text.data() + text.size() || *at != end) return false;
  // No sign, no leading zero but "0" itself: one spelling per number.
  if (text.front() == '0' && at - text.data() > 1) return false;
  text.remove_prefix(static_cast<std::size_t>(at - text.data()) + 1);
  return true;
}

// The bytes of the line that ends at the line feed at `feed` (the line feed
// not included), or false when the line is longer than `limit`.
bool line_ending_at(int fd, std::uint64_t feed, std::size_t limit, std::string& line) {
  std::vector<char> back;  // the line's bytes read so far, last first
  std::uint64_t at = feed;
  std::string block;
  for (std::size_t ask = first_read_back; at > 0; ask = std::min(2 * ask, largest_read_back)) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(at, ask));
    block.resize(n);
    if (!read_exactly_at(fd, block.data(), n, at - n)) return false;
    const std::size_t found = std::string_view(block).rfind('\n');
    const std::size_t from = found == std::string_view::npos ? 0 : found + 1;
    if (back.size() + (n - from) > limit) return false;
    back.insert(back.end(), block.rbegin(), block.rbegin() + static_cast<std::ptrdiff_t>(n - from));
    if (found != std::string_view::npos) break;
    at -= n;
  }
  line.assign(back.rbegin(), back.rend());
  return true;
}

}  // namespace

bool read_seal_position(const std::string& tiles_dir, SealPosition& position) {
  const int raw = open_retrying(position_path(tiles_dir).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (raw < 0) return false;
  Descriptor fd(raw);
  FileStatus status;
  if (file_status(fd.get(), status) != 0 || !status.regular() || status.size > position_file_limit) return false;
  std::string text(static_cast<std::size_t>(status.size), '\0');
  if (!read_exactly_at(fd.get(), text.data(), text.size(), 0)) return false;
  std::string_view rest(text);
  if (!rest.starts_with(position_header)) return false;
  rest.remove_prefix(position_header.size());
  SealPosition read;
  if (!parse_number(rest, ' ', read.size) || !parse_number(rest, ' ', read.bytes) ||
      !parse_number(rest, ' ', read.device) || !parse_number(rest, '\n', read.inode) || !rest.empty())
    return false;
  position = read;
  return true;
}

bool write_seal_position(const std::string& tiles_dir, const SealPosition& position) {
  const std::string text = std::string(position_header) + std::to_string(position.size) + " " +
                           std::to_string(position.bytes) + " " + std::to_string(position.device) + " " +
                           std::to_string(position.inode) + "\n";
  const std::string final_path = position_path(tiles_dir);
  const std::string temporary = final_path + ".tmp";
  const int raw = open_retrying(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW,
                                0644);
  if (raw < 0) return false;
  bool ok;
  {
    Descriptor fd(raw);
    ok = write_all(fd.get(), text.data(), text.size()).ok();
  }
  // Neither the file nor the directory is flushed to storage: after a crash
  // the position may be the older one, which no longer matches the last
  // checkpoint, or unreadable; either is not used. And one that reads is
  // checked against the log and the signed tree before it is used.
  if (ok && ::rename(temporary.c_str(), final_path.c_str()) == 0) return true;
  ::unlink(temporary.c_str());
  return false;
}

bool seal_position_holds(const std::string& log_path, const SealPosition& position, const tlog::Checkpoint& last,
                         const tlog::TreeHash& root, const std::string& tiles_dir, std::size_t line_limit) {
  if (last.size == 0 || last.bytes == 0 || position.size != last.size || position.bytes != last.bytes) return false;
  if (log_path == logread::standard_input_name || logread::gzip_piece(log_path)) return false;
  const int raw = open_retrying(log_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (raw < 0) return false;
  Descriptor fd(raw);
  FileStatus status;
  if (file_status(fd.get(), status) != 0 || !status.regular() || status.device != position.device ||
      status.inode != position.inode || status.size < last.bytes)
    return false;
  // Offsets in a compressed file are not offsets in the log.
  char magic[2];
  if (!read_exactly_at(fd.get(), magic, sizeof magic, 0) || logread::gzip_magic(std::string_view(magic, sizeof magic)))
    return false;
  char feed = 0;
  if (!read_exactly_at(fd.get(), &feed, 1, last.bytes - 1) || feed != '\n') return false;
  std::string line;
  if (!line_ending_at(fd.get(), last.bytes - 1, line_limit == 0 ? unlimited_line_cap : line_limit, line))
    return false;
  try {
    tlog::TileReader tiles(tiles_dir, last.size);
    const std::vector<tlog::TreeHash> path = tiles.inclusion_proof(last.size - 1, last.size);
    return tlog::verify_inclusion(tlog::leaf_hash(line), last.size - 1, last.size, path, root);
  } catch (const tlog::TileError&) {
    return false;
  }
}

}  // namespace oxa::notary
