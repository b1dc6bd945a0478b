#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace oxa::logread {

// Readable bytes that always follow a line's text in the reader's buffer
// (their content is unspecified), so that a parser needing padding can read
// the line in place.
inline constexpr std::size_t line_padding = 64;

// One line of the logical log.
struct LogLine {
  std::string_view text;     // the line's bytes without its line feed; valid until the next next()
  std::uint64_t number = 0;  // 1-based, counted across all pieces
  std::uint64_t offset = 0;  // byte offset of the line's first byte in the logical log
  std::uint64_t length = 0;  // the line's bytes without its line feed (text.size() unless too_long)
  bool terminated = false;   // false only for a last line without a line feed
  // Longer than the source's line limit: `text` is empty, the line's bytes
  // were passed over without being kept.
  bool too_long = false;
  std::uint32_t piece = 0;       // index of the piece holding the line's first byte
  std::uint64_t piece_line = 0;  // 1-based line number within that piece
  bool piece_start = false;      // the line begins at the piece's first byte
};

// A piece that cannot be opened or read; the message names the file and what is wrong.
class LogSourceError : public std::runtime_error {
  using runtime_error::runtime_error;
};

// The piece name that stands for standard input.
inline constexpr std::string_view standard_input_name = "-";

// Whether a piece is named as a compressed one: its name ends in ".gz".
bool gzip_piece(std::string_view path) noexcept;

// Whether bytes begin as a gzip stream does (its two magic bytes).
bool gzip_magic(std::string_view bytes) noexcept;

// Told the bytes of each line passed over as too long, in order and in
// parts, while they stream past: a caller can digest such a line without
// anyone holding it. begin_line() comes before a line's first part; the line
// is complete when next() returns it.
class LongLineSink {
 public:
  virtual ~LongLineSink() = default;
  virtual void begin_line() = 0;
  virtual void line_bytes(std::string_view bytes) = 0;
};

// Reads log pieces in order as one byte stream (rotated pieces, oldest first)
// and splits it into lines at line feeds; a line may span two pieces. "-" is
// standard input; a piece whose content begins with the gzip magic bytes is
// decompressed through zlib, whatever its name (several gzip members one after
// another are read as one stream). A compressed piece cut short is read as far
// as it goes and noted (truncated_pieces), not failed. Files are only ever
// opened read-only.
//
// Reading is done in large blocks into one buffer that grows only for a line
// longer than it, so that passing a line allocates nothing.
class LogSource {
 public:
  // Starts at byte `start_offset` of the logical log (skipping, or
  // decompressing through, what lies before), numbering the first line read
  // `first_number`. Every piece is opened once here, so that a missing or
  // unreadable file is reported before any line is read. Throws
  // LogSourceError.
  explicit LogSource(std::vector<std::string> paths, std::uint64_t start_offset = 0,
                     std::uint64_t first_number = 1);
  ~LogSource();
  LogSource(const LogSource&) = delete;
  LogSource& operator=(const LogSource&) = delete;

  // The next line; false after the last one. Throws LogSourceError when a
  // piece cannot be read (an input/output error, a damaged gzip stream).
  bool next(LogLine& line);

  // Lines longer than `limit` bytes (without the line feed) are passed over
  // while reading, holding at most `limit` bytes of them, and returned with
  // too_long set. 0, the default, means no limit: a line is held whole.
  void set_line_limit(std::size_t limit) noexcept { line_limit_ = limit; }
  // Gives the bytes of every too-long line to `sink` (or no one); the sink
  // must outlive the reading.
  void set_long_line_sink(LongLineSink* sink) noexcept { long_line_sink_ = sink; }

  // Logical bytes passed so far: the offset just after the last line returned
  // (with its line feed), or start_offset before the first.
  std::uint64_t bytes_consumed() const noexcept { return consumed_; }

  // The sum of the sizes of the pieces that are regular, uncompressed files,
  // and whether that is every piece (so the sum is the logical length).
  std::uint64_t known_size() const noexcept { return known_size_; }
  bool size_complete() const noexcept { return size_complete_; }

  // The pieces, as given.
  const std::vector<std::string>& paths() const noexcept { return paths_; }
  // Indices of the compressed pieces whose data ended before their stream did.
  const std::vector<std::uint32_t>& truncated_pieces() const noexcept { return truncated_; }

 private:
  class Piece;

  // Reads more bytes after the buffered ones; false at the end of the last piece.
  bool fill();
  // Passes over the rest of a line found too long; returns it as such.
  void skip_long_line(LogLine& line);
  // A too-long line found whole in the buffer: its bytes go to the sink.
  void pass_long_line(std::string_view bytes);
  // Sets the line's piece and its number within it.
  void place(LogLine& line);
  void skip_to(std::uint64_t offset);

  std::vector<std::string> paths_;
  std::vector<std::unique_ptr<Piece>> pieces_;
  std::size_t current_ = 0;  // index of the piece being read

  std::vector<char> buffer_;  // capacity_ bytes for data, then line_padding
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;  // first unconsumed byte in buffer_
  std::size_t end_ = 0;    // end of the buffered bytes
  std::size_t scanned_ = 0;  // bytes after begin_ already searched for a line feed

  std::size_t line_limit_ = 0;  // 0: none
  LongLineSink* long_line_sink_ = nullptr;

  std::uint64_t consumed_ = 0;
  std::uint64_t read_total_ = 0;             // logical bytes read into the buffer so far
  std::vector<std::uint64_t> piece_starts_;  // logical offset of each piece reached so far
  std::uint32_t line_piece_ = 0;             // piece of the last line returned
  std::uint64_t line_in_piece_ = 0;
  std::vector<std::uint32_t> truncated_;
  std::uint64_t next_number_ = 1;
  std::uint64_t known_size_ = 0;
  bool size_complete_ = true;
};

}  // namespace oxa::logread
