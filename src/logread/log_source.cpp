#include "logread/log_source.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "common/file_status.hpp"
#include "common/os_error.hpp"
#include "store/file_io.hpp"

namespace oxa::logread {

namespace {

constexpr std::size_t block_bytes = std::size_t{1} << 20;
// The compressed input read at a time.
constexpr unsigned gzip_buffer_bytes = 1u << 17;

std::string display_name(std::string_view path) {
  return path == standard_input_name ? std::string("standard input") : std::string(path);
}

[[noreturn]] void fail(std::string_view path, std::string_view what) {
  std::string message = display_name(path);
  message += ": ";
  message += what;
  throw LogSourceError(message);
}

[[noreturn]] void fail_os(std::string_view path, std::string_view action, int code) {
  std::string what(action);
  what += ": ";
  what += describe_os_error(code);
  fail(path, what);
}

}  // namespace

bool gzip_piece(std::string_view path) noexcept {
  return path.size() > 3 && path.substr(path.size() - 3) == ".gz";
}

bool gzip_magic(std::string_view bytes) noexcept {
  return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1f &&
         static_cast<unsigned char>(bytes[1]) == 0x8b;
}

// One open piece: a descriptor read directly, or through zlib when its first
// bytes are gzip's magic. The first bytes are read ahead to tell, and kept.
class LogSource::Piece {
 public:
  Piece(std::string_view path) : path_(path) {
    if (path == standard_input_name) {
      fd_ = STDIN_FILENO;
      owns_fd_ = false;
    } else {
      if (holds_nul(path)) fail(path, "file name contains a NUL byte");
      // Read-only. A named pipe is waited for like any reader would (without
      // a writer yet, a non-blocking open would read it as empty).
      fd_ = open_retrying(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
      if (fd_ < 0) fail_os(path, "cannot open", errno);
    }
    FileStatus status;
    if (file_status(fd_, status) == 0) {
      if (status.directory()) {
        close_fd();
        fail_os(path, "cannot read", EISDIR);
      }
      if (status.regular()) {
        regular_ = true;
        size_ = status.size;
      }
    }
    raw_.resize(gzip_buffer_bytes);
    // Two bytes tell gzip from text; a pipe may hand them over one at a time.
    while (raw_end_ < 2) {
      const std::size_t n = read_raw(raw_.data() + raw_end_, 2 - raw_end_);
      if (n == 0) break;
      raw_end_ += n;
    }
    if (gzip_magic(std::string_view(reinterpret_cast<const char*>(raw_.data()), raw_end_))) {
      if (::inflateInit2(&stream_, 16 + MAX_WBITS) != Z_OK) {
        close_fd();
        fail(path, "cannot start decompression");
      }
      gzip_ = true;
      member_open_ = true;
      stream_.next_in = raw_.data();
      stream_.avail_in = static_cast<uInt>(raw_end_);
    }
  }
  ~Piece() {
    if (gzip_) ::inflateEnd(&stream_);
    close_fd();
  }
  Piece(const Piece&) = delete;
  Piece& operator=(const Piece&) = delete;

  // Bytes of the logical stream this piece adds, when known without reading it.
  bool size_known() const noexcept { return regular_ && !gzip_; }
  std::uint64_t size() const noexcept { return size_; }
  bool truncated() const noexcept { return truncated_; }

  // Moves the read position of an uncompressed regular file.
  void seek(std::uint64_t offset) {
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) fail_os(path_, "cannot seek", errno);
    raw_begin_ = raw_end_ = 0;
  }

  // Up to `capacity` bytes; 0 at the end of the piece.
  std::size_t read(char* out, std::size_t capacity) {
    if (gzip_) return read_gzip(out, capacity);
    if (raw_begin_ < raw_end_) {
      const std::size_t n = std::min(capacity, raw_end_ - raw_begin_);
      std::memcpy(out, raw_.data() + raw_begin_, n);
      raw_begin_ += n;
      return n;
    }
    return read_raw(out, capacity);
  }

 private:
  std::size_t read_raw(void* out, std::size_t capacity) {
    for (;;) {
      const ssize_t n = ::read(fd_, out, capacity);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno == EINTR) continue;
      fail_os(path_, "cannot read", errno);
    }
  }

  std::size_t read_gzip(char* out, std::size_t capacity) {
    const uInt ask = capacity > UINT_MAX ? UINT_MAX : static_cast<uInt>(capacity);
    for (;;) {
      if (stream_.avail_in == 0 && !input_ended_) {
        const std::size_t n = read_raw(raw_.data(), raw_.size());
        if (n == 0) input_ended_ = true;
        stream_.next_in = raw_.data();
        stream_.avail_in = static_cast<uInt>(n);
      }
      if (stream_.avail_in == 0) {
        // The file ended; inside a member that is a stream cut short.
        if (member_open_) truncated_ = true;
        member_open_ = false;
        return 0;
      }
      if (!member_open_) {
        // Several gzip members in a row read as one stream (what `cat a.gz
        // b.gz` makes); anything else after a member is damage.
        if (stream_.next_in[0] != 0x1f) fail(path_, "damaged gzip data: bytes after the compressed stream");
        if (::inflateReset(&stream_) != Z_OK) fail(path_, "cannot restart decompression");
        member_open_ = true;
      }
      stream_.next_out = reinterpret_cast<Bytef*>(out);
      stream_.avail_out = ask;
      const int code = ::inflate(&stream_, Z_NO_FLUSH);
      const std::size_t produced = ask - stream_.avail_out;
      if (code == Z_STREAM_END) {
        member_open_ = false;
      } else if (code != Z_OK && code != Z_BUF_ERROR) {
        std::string what = "damaged gzip data: ";
        what += stream_.msg != nullptr ? stream_.msg : "unknown error";
        fail(path_, what);
      }
      if (produced > 0) return produced;
    }
  }

  void close_fd() noexcept {
    if (owns_fd_ && fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  std::string path_;
  int fd_ = -1;
  bool owns_fd_ = true;
  bool regular_ = false;
  std::uint64_t size_ = 0;
  // Bytes read from the file but not yet passed on (the look-ahead), or the
  // compressed input of zlib.
  std::vector<unsigned char> raw_;
  std::size_t raw_begin_ = 0;
  std::size_t raw_end_ = 0;
  bool gzip_ = false;
  z_stream stream_{};
  bool member_open_ = false;
  bool input_ended_ = false;
  bool truncated_ = false;
};

LogSource::LogSource(std::vector<std::string> paths, std::uint64_t start_offset, std::uint64_t first_number)
    : paths_(std::move(paths)), next_number_(first_number) {
  pieces_.reserve(paths_.size());
  for (const std::string& path : paths_) {
    pieces_.push_back(std::make_unique<Piece>(path));
    if (pieces_.back()->size_known()) {
      known_size_ += pieces_.back()->size();
    } else {
      size_complete_ = false;
    }
  }
  capacity_ = block_bytes;
  buffer_.resize(capacity_ + line_padding);
  if (start_offset > 0) skip_to(start_offset);
}

LogSource::~LogSource() = default;

void LogSource::skip_to(std::uint64_t offset) {
  std::uint64_t left = offset;
  // Whole uncompressed files are skipped by their size and the rest by a
  // seek; anything else is read through.
  while (left > 0 && current_ < pieces_.size()) {
    while (piece_starts_.size() <= current_) piece_starts_.push_back(read_total_);
    Piece& piece = *pieces_[current_];
    if (piece.size_known()) {
      if (left >= piece.size()) {
        left -= piece.size();
        consumed_ += piece.size();
        read_total_ += piece.size();
        ++current_;
        continue;
      }
      piece.seek(left);
      consumed_ += left;
      read_total_ += left;
      return;
    }
    const std::size_t n = piece.read(buffer_.data(), left < capacity_ ? left : capacity_);
    if (n == 0) {
      ++current_;
      continue;
    }
    left -= n;
    consumed_ += n;
    read_total_ += n;
  }
}

bool LogSource::fill() {
  if (begin_ == end_) {
    begin_ = end_ = 0;
  } else if (end_ == capacity_) {
    if (begin_ > 0) {
      // Keep the unfinished line and read after it.
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    } else {
      // A line longer than the buffer: the buffer grows to hold it, or
      // (with a limit) just enough to tell that it is longer than allowed.
      capacity_ *= 2;
      if (line_limit_ != 0 && capacity_ > line_limit_ + 1) capacity_ = std::max(line_limit_ + 1, block_bytes);
      buffer_.resize(capacity_ + line_padding);
    }
  }
  while (current_ < pieces_.size()) {
    while (piece_starts_.size() <= current_) piece_starts_.push_back(read_total_);
    const std::size_t n = pieces_[current_]->read(buffer_.data() + end_, capacity_ - end_);
    if (n > 0) {
      end_ += n;
      read_total_ += n;
      return true;
    }
    if (pieces_[current_]->truncated()) truncated_.push_back(static_cast<std::uint32_t>(current_));
    ++current_;
  }
  return false;
}

void LogSource::place(LogLine& line) {
  // The piece of a line is the last one reached that starts at or before its
  // first byte: an empty piece starts where the next one does and holds none.
  std::uint32_t piece = line_piece_;
  while (piece + 1 < piece_starts_.size() && piece_starts_[piece + 1] <= line.offset) ++piece;
  if (piece != line_piece_ || line_in_piece_ == 0) {
    line_piece_ = piece;
    line_in_piece_ = 0;
  }
  line.piece = piece;
  line.piece_line = ++line_in_piece_;
  line.piece_start = piece < piece_starts_.size() && piece_starts_[piece] == line.offset;
}

bool LogSource::next(LogLine& line) {
  for (;;) {
    const char* start = buffer_.data() + begin_;
    const std::size_t available = end_ - begin_;
    if (available > scanned_) {
      const void* feed = std::memchr(start + scanned_, '\n', available - scanned_);
      if (feed != nullptr) {
        const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(feed) - start);
        line.text = std::string_view(start, length);
        line.number = next_number_++;
        line.offset = consumed_;
        line.terminated = true;
        // A line found whole in the buffer is still held to the limit.
        line.length = length;
        line.too_long = line_limit_ != 0 && length > line_limit_;
        if (line.too_long) {
          pass_long_line(line.text);
          line.text = std::string_view(start, 0);
        }
        place(line);
        consumed_ += length + 1;
        begin_ += length + 1;
        scanned_ = 0;
        return true;
      }
      scanned_ = available;
      if (line_limit_ != 0 && available > line_limit_) {
        skip_long_line(line);
        return true;
      }
    }
    if (!fill()) {
      if (begin_ == end_) return false;
      // The last line has no line feed.
      const std::size_t length = end_ - begin_;
      line.text = std::string_view(buffer_.data() + begin_, length);
      line.number = next_number_++;
      line.offset = consumed_;
      line.terminated = false;
      line.length = length;
      line.too_long = line_limit_ != 0 && length > line_limit_;
      if (line.too_long) {
        pass_long_line(line.text);
        line.text = std::string_view(buffer_.data() + begin_, 0);
      }
      place(line);
      consumed_ += length;
      begin_ = end_;
      scanned_ = 0;
      return true;
    }
  }
}

void LogSource::skip_long_line(LogLine& line) {
  line.text = std::string_view(buffer_.data() + begin_, 0);
  line.number = next_number_++;
  line.offset = consumed_;
  line.too_long = true;
  line.terminated = false;
  place(line);
  // The bytes seen so far hold no line feed: hand them on, drop them and
  // read on until one comes.
  std::uint64_t length = end_ - begin_;
  if (long_line_sink_ != nullptr) {
    long_line_sink_->begin_line();
    long_line_sink_->line_bytes(std::string_view(buffer_.data() + begin_, end_ - begin_));
  }
  begin_ = end_;
  scanned_ = 0;
  while (fill()) {
    const char* start = buffer_.data() + begin_;
    const std::size_t available = end_ - begin_;
    const void* feed = std::memchr(start, '\n', available);
    const std::size_t rest =
        feed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(feed) - start) : available;
    if (long_line_sink_ != nullptr) long_line_sink_->line_bytes(std::string_view(start, rest));
    length += rest;
    if (feed != nullptr) {
      begin_ += rest + 1;
      consumed_ += length + 1;
      line.length = length;
      line.terminated = true;
      return;
    }
    begin_ = end_;
  }
  consumed_ += length;
  line.length = length;
}

void LogSource::pass_long_line(std::string_view bytes) {
  if (long_line_sink_ == nullptr) return;
  long_line_sink_->begin_line();
  long_line_sink_->line_bytes(bytes);
}

}  // namespace oxa::logread
