#include "verify/log_source.hpp"

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

namespace oxa::verify {

namespace {

constexpr std::size_t block_bytes = std::size_t{1} << 20;
// zlib's own input buffer: large reads of the compressed file too.
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

// One open piece: a descriptor read directly, or through zlib.
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
    if (gzip_piece(path)) {
      gz_ = ::gzdopen(fd_, "rb");
      if (gz_ == nullptr) {
        close_fd();
        fail(path, "cannot start decompression");
      }
      owns_fd_ = false;  // gzclose closes it
      ::gzbuffer(gz_, gzip_buffer_bytes);
    }
  }
  ~Piece() {
    if (gz_ != nullptr) ::gzclose(gz_);
    close_fd();
  }
  Piece(const Piece&) = delete;
  Piece& operator=(const Piece&) = delete;

  // Bytes of the logical stream this piece adds, when known without reading it.
  bool size_known() const noexcept { return regular_ && gz_ == nullptr; }
  std::uint64_t size() const noexcept { return size_; }

  // Moves the read position of an uncompressed regular file.
  void seek(std::uint64_t offset) {
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) fail_os(path_, "cannot seek", errno);
  }

  // Up to `capacity` bytes; 0 at the end of the piece.
  std::size_t read(char* out, std::size_t capacity) {
    if (gz_ != nullptr) return read_gzip(out, capacity);
    for (;;) {
      const ssize_t n = ::read(fd_, out, capacity);
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno == EINTR) continue;
      fail_os(path_, "cannot read", errno);
    }
  }

 private:
  std::size_t read_gzip(char* out, std::size_t capacity) {
    const unsigned ask = capacity > INT_MAX ? INT_MAX : static_cast<unsigned>(capacity);
    const int n = ::gzread(gz_, out, ask);
    if (n > 0 && !checked_format_) {
      checked_format_ = true;
      // zlib passes bytes that are not gzip through unchanged; a piece named
      // ".gz" must really be compressed.
      if (::gzdirect(gz_)) fail(path_, "not in gzip format");
    }
    int code = Z_OK;
    const char* message = ::gzerror(gz_, &code);
    if (n < 0 || (code != Z_OK && code != Z_STREAM_END)) {
      if (code == Z_ERRNO) fail_os(path_, "cannot read", errno);
      std::string what = "damaged gzip data: ";
      what += message != nullptr ? message : "unknown error";
      fail(path_, what);
    }
    return static_cast<std::size_t>(n);
  }

  void close_fd() noexcept {
    if (owns_fd_ && fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  std::string path_;
  int fd_ = -1;
  bool owns_fd_ = true;
  gzFile gz_ = nullptr;
  bool regular_ = false;
  bool checked_format_ = false;
  std::uint64_t size_ = 0;
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
    Piece& piece = *pieces_[current_];
    if (piece.size_known()) {
      if (left >= piece.size()) {
        left -= piece.size();
        consumed_ += piece.size();
        ++current_;
        continue;
      }
      piece.seek(left);
      consumed_ += left;
      return;
    }
    const std::size_t n = piece.read(buffer_.data(), left < capacity_ ? left : capacity_);
    if (n == 0) {
      ++current_;
      continue;
    }
    left -= n;
    consumed_ += n;
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
    const std::size_t n = pieces_[current_]->read(buffer_.data() + end_, capacity_ - end_);
    if (n > 0) {
      end_ += n;
      return true;
    }
    ++current_;
  }
  return false;
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
        line.too_long = line_limit_ != 0 && length > line_limit_;
        if (line.too_long) line.text = std::string_view(start, 0);
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
      line.too_long = line_limit_ != 0 && length > line_limit_;
      if (line.too_long) line.text = std::string_view(buffer_.data() + begin_, 0);
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
  // The bytes seen so far hold no line feed: drop them and read on until one comes.
  std::uint64_t length = end_ - begin_;
  begin_ = end_;
  scanned_ = 0;
  while (fill()) {
    const char* start = buffer_.data() + begin_;
    const std::size_t available = end_ - begin_;
    const void* feed = std::memchr(start, '\n', available);
    if (feed != nullptr) {
      const std::size_t rest = static_cast<std::size_t>(static_cast<const char*>(feed) - start);
      length += rest;
      begin_ += rest + 1;
      consumed_ += length + 1;
      line.terminated = true;
      return;
    }
    length += available;
    begin_ = end_;
  }
  consumed_ += length;
}

}  // namespace oxa::verify
