#include "verify/key_reading.hpp"

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <cerrno>

#include "common/file_status.hpp"
#include "common/os_error.hpp"
#include "store/file_io.hpp"
#include "verify/verify_errors.hpp"

namespace oxa::verify {

namespace {

[[noreturn]] void fail(const std::string& path, std::string_view what) {
  std::string message = "key file ";
  message += path;
  message += ": ";
  message += what;
  throw InputError(message);
}

struct WipedSeed {
  SigningSeed bytes{};
  std::uint8_t extra = 0;  // the 33rd byte of a file that is too long
  ~WipedSeed() { sodium_memzero(bytes.data(), bytes.size()); }
};

}  // namespace

PublicKey read_public_key_from_key_file(const std::string& key_path) {
  if (holds_nul(key_path)) fail(key_path, "file name contains a NUL byte");
  const int fd = open_retrying(key_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) fail(key_path, "cannot open: " + describe_os_error(errno));
  FileStatus status;
  const int status_error = file_status(fd, status);
  if (status_error != 0 || !status.regular()) {
    ::close(fd);
    fail(key_path, status_error != 0 ? "cannot read: " + describe_os_error(status_error) : "not a regular file");
  }
  WipedSeed seed;
  std::size_t got = 0;
  // One byte past the seed's size tells a longer file from an exact one.
  while (got <= seed.bytes.size()) {
    std::uint8_t* into = got < seed.bytes.size() ? seed.bytes.data() + got : &seed.extra;
    const std::size_t room = got < seed.bytes.size() ? seed.bytes.size() - got : 1;
    const ssize_t n = ::read(fd, into, room);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int code = errno;
      ::close(fd);
      fail(key_path, "cannot read: " + describe_os_error(code));
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (got != seed.bytes.size()) fail(key_path, "does not hold exactly 32 bytes");
  const SigningKey key(seed.bytes);
  return key.public_key();
}

std::array<std::uint8_t, 32> parse_hex32(std::string_view text, std::string_view what) {
  std::array<std::uint8_t, 32> out{};
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  bool good = text.size() == 2 * out.size();
  for (std::size_t i = 0; good && i < out.size(); ++i) {
    const int high = value(text[2 * i]);
    const int low = value(text[2 * i + 1]);
    good = high >= 0 && low >= 0;
    if (good) out[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  if (!good) {
    std::string message(what);
    message += " is not 64 hexadecimal digits";
    throw UsageError(message);
  }
  return out;
}

}  // namespace oxa::verify
