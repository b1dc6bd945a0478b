#include "store/key_file.hpp"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/file_status.hpp"
#include "common/internal_fault.hpp"
#include "common/os_error.hpp"
#include "common/random_source.hpp"
#include "store/file_io.hpp"
#include "store/trusted_file.hpp"
#include "store/write_ahead_log.hpp"

namespace oxa {

namespace {

constexpr std::string_view read_failed = "Failed to read signing key: ";
constexpr std::string_view write_failed = "Failed to write signing key: ";

[[noreturn]] void fault(std::string_view prefix, std::string_view detail) {
  std::string message(prefix);
  message += detail;
  throw InternalFault(message);
}

// Seed material on the stack, wiped however the scope is left.
template <std::size_t N>
struct WipedBytes {
  std::array<std::uint8_t, N> bytes{};
  WipedBytes() = default;
  WipedBytes(const WipedBytes&) = delete;
  WipedBytes& operator=(const WipedBytes&) = delete;
  ~WipedBytes() { sodium_memzero(bytes.data(), bytes.size()); }
};

// Removes a temporary file on every way out of its scope.
class TemporaryName {
 public:
  explicit TemporaryName(std::string name) : name_(std::move(name)) {}
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  ~TemporaryName() { ::unlink(name_.c_str()); }
  const char* c_str() const { return name_.c_str(); }

 private:
  std::string name_;
};

// Reads the key file. At most one byte beyond the seed is read, so a path
// naming a huge file or an endless device still gives a bounded answer, and
// the open does not wait for a writer when the path names a FIFO.
// `name_exists_for_sure` is set after a creation found the name taken: the
// name then leading nowhere (a dangling symbolic link) is reported as the
// write failure it is, not as an unreadable key.
std::unique_ptr<SigningKey> read_key(const std::string& path, bool name_exists_for_sure,
                                     std::optional<std::string>* warning) {
  const int fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    const int error = errno;
    if (name_exists_for_sure && error == ENOENT) fault(write_failed, render_os_error(EEXIST));
    fault(read_failed, render_os_error(error));
  }
  Descriptor file(fd);
  std::optional<std::string> notice = check_key_file(file.get(), path);

  WipedBytes<signing_seed_bytes + 1> buffer;
  std::size_t got = 0;
  while (got < buffer.bytes.size()) {
    const ssize_t n = ::read(file.get(), buffer.bytes.data() + got, buffer.bytes.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      fault(read_failed, render_os_error(errno));
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }

  if (got != signing_seed_bytes) {
    // The length only: the bytes are secret material.
    std::string found;
    FileStatus status;
    if (got <= signing_seed_bytes) {
      found = std::to_string(got);
    } else if (file_status(file.get(), status) == 0 && status.regular() &&
               status.size > signing_seed_bytes) {
      found = std::to_string(status.size);
    } else {
      found = "more than " + std::to_string(signing_seed_bytes);
    }
    fault("Invalid key length: expected " + std::to_string(signing_seed_bytes) +
              " bytes, found ",
          found);
  }

  WipedBytes<signing_seed_bytes> seed;
  std::memcpy(seed.bytes.data(), buffer.bytes.data(), signing_seed_bytes);
  auto key = std::make_unique<SigningKey>(seed.bytes);
  if (warning != nullptr) *warning = std::move(notice);
  return key;
}

void fill_seed(SigningSeed& seed) {
  if (const int error = fill_random(seed)) fault("Error: ", describe_os_error(error));
}

// The directory part of `path` with its trailing slash, or "" for a bare name.
std::string directory_prefix(const std::string& path) {
  return path.substr(0, path.rfind('/') + 1);
}

void sync_directory(const std::string& prefix) {
  const char* directory = prefix.empty() ? "." : prefix.c_str();
  const int fd = open_retrying(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  // The key is complete and in place either way; a failed directory flush
  // only weakens its durability across a power loss.
  ::fsync(fd);
  ::close(fd);
}

void write_seed_and_sync(int fd, const SigningSeed& seed) {
  const WriteOutcome outcome =
      write_all(fd, reinterpret_cast<const char*>(seed.data()), seed.size());
  if (!outcome.ok()) fault(write_failed, outcome.error);
  if (::fsync(fd) != 0) fault(write_failed, render_os_error(errno));
}

enum class Creation { stored, name_taken };

// For file systems without hard links: creates the key file exclusively
// (never through a symbolic link) and writes it in place. A reader racing
// with this may see the file before it is complete.
Creation store_in_place(const std::string& path, const SigningSeed& seed) {
  const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return Creation::name_taken;
    fault(write_failed, render_os_error(errno));
  }
  Descriptor file(fd);
  try {
    write_seed_and_sync(file.get(), seed);
    if (const int error = file.close_reporting()) fault(write_failed, render_os_error(error));
  } catch (...) {
    // A short key file would stop every later engine on this log.
    ::unlink(path.c_str());
    throw;
  }
  return Creation::stored;
}

// Writes the seed to a private temporary file beside the key file, flushes
// it, and links it to the key file's name only if that name is free. Readers
// thus see either no key file or a complete one, and an existing name (a key
// written meanwhile by another process, or any symbolic link) is never
// written through.
Creation store_new_key(const std::string& path, const SigningSeed& seed) {
  const std::string prefix = directory_prefix(path);
  std::string pattern = prefix + ".oxa-key-XXXXXX";
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) fault(write_failed, render_os_error(errno));
  const TemporaryName temporary(pattern);
  {
    Descriptor file(fd);
    write_seed_and_sync(file.get(), seed);
    if (const int error = file.close_reporting()) fault(write_failed, render_os_error(error));
  }
  if (::link(temporary.c_str(), path.c_str()) == 0) {
    sync_directory(prefix);
    return Creation::stored;
  }
  switch (const int error = errno) {
    case EEXIST:
      return Creation::name_taken;
    case EPERM:
    case EOPNOTSUPP:
    case ENOSYS:
      // Hard links are not supported here (FAT and some network or user
      // space file systems answer EPERM).
      return store_in_place(path, seed);
    default:
      fault(write_failed, render_os_error(error));
  }
}

}  // namespace

std::string key_file_path(std::string_view wal_path) {
  std::string path(wal_path);
  path += ".key";
  return path;
}

std::optional<std::string> check_key_file(int fd, std::string_view path) {
  const FileStatus status = check_trusted_file(fd, path, {.prefix = read_failed, .noun = "key"});
  if (!readable_by_others(status)) return std::nullopt;
  std::string quoted(1, '\'');
  quoted += path;
  quoted += '\'';
  return "tvel_oxa: the signing key file " + quoted + " has mode " + mode_text(status.mode) +
         ", readable by group or others: anyone who can read it can sign as this engine. "
         "Restrict it with: chmod 600 " + quoted;
}

std::unique_ptr<SigningKey> load_or_create_signing_key(std::string_view wal_path,
                                                       std::optional<std::string>* warning) {
  WipedBytes<signing_seed_bytes> seed;
  if (wal_path == memory_log_path) {
    fill_seed(seed.bytes);
    return std::make_unique<SigningKey>(seed.bytes);
  }

  const std::string path = key_file_path(wal_path);
  FileStatus status;
  if (!holds_nul(path) && path_status(path.c_str(), status) == 0) return read_key(path, false, warning);

  fill_seed(seed.bytes);
  auto key = std::make_unique<SigningKey>(seed.bytes);
  if (holds_nul(path)) fault(write_failed, nul_in_path_rendering);
  if (store_new_key(path, seed.bytes) == Creation::name_taken) return read_key(path, true, warning);
  return key;
}

}  // namespace oxa
