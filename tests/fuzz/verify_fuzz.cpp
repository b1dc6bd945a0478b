// libFuzzer target for everything the verifier reads from untrusted bytes:
// log lines (the record reader, alone and through the whole verification,
// plain and gzip-compressed) and key files.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "logread/log_source.hpp"
#include "logread/record_format.hpp"
#include "verify/key_reading.hpp"
#include "verify/verifier.hpp"
#include "verify/verify_errors.hpp"

namespace {

// A file holding `bytes`, named /proc/self/fd/N, gone when closed.
class MemoryFile {
 public:
  explicit MemoryFile(std::string_view bytes) : fd_(memfd_create("fuzz", MFD_CLOEXEC)) {
    if (fd_ < 0 || ::write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
  }
  ~MemoryFile() { ::close(fd_); }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

// Any 32 bytes form a key; the signatures will not verify, which is fine.
const std::string some_public_key(64, 'a');

void verify_bytes(const std::vector<std::string>& paths) {
  oxa::verify::VerifyOptions options;
  options.paths = paths;
  options.public_key = some_public_key;
  options.jobs = 1;
  try {
    oxa::verify::verify_log(options);
  } catch (const oxa::verify::InputError&) {
    // a damaged gzip stream
  } catch (const oxa::verify::UsageError&) {
    // a piece that is no log at all
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // Each line alone, without padding after it.
  static oxa::logread::RecordReader reader;
  oxa::logread::RecordFields fields;
  for (std::size_t start = 0; start <= bytes.size();) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    reader.read(bytes.substr(start, end - start), false, fields);
    start = end + 1;
  }

  // The whole input as a log, and as a key file.
  const MemoryFile file(bytes);
  verify_bytes({file.path()});
  try {
    oxa::verify::read_public_key_from_key_file(file.path());
  } catch (const oxa::verify::InputError&) {
  }

  // Input that starts like gzip is recognised by its content; it is also read
  // after a plain piece, under a .gz name.
  if (size >= 2 && data[0] == 0x1f && data[1] == 0x8b) {
    static const std::string gz_path = [] {
      char pattern[] = "/tmp/oxa_fuzz_XXXXXX";
      if (::mkdtemp(pattern) == nullptr) std::abort();
      return std::string(pattern) + "/piece.gz";
    }();
    if (FILE* out = std::fopen(gz_path.c_str(), "wb")) {
      std::fwrite(data, 1, size, out);
      std::fclose(out);
      verify_bytes({file.path(), gz_path});
    }
  }
  return 0;
}
