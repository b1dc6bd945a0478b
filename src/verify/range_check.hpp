#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/blake3_hash.hpp"
#include "store/signing_key.hpp"

namespace oxa::verify {

// One byte range of a single-piece log whose signatures were checked apart
// from the rest (on another machine, say): the lines whose first byte lies in
// [start, end). The digest binds the outcome to the records it was made from,
// so that the pass over the whole log can tell when it reads other records.
struct CheckedRange {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  PublicKey key{};
  std::uint64_t records = 0;
  Hash32 digest{};                 // of each record's offset, content hash and signature, in order
  std::vector<std::uint64_t> bad;  // offsets of the records whose signature does not verify, growing
};

struct RangeOptions {
  // A file holding the log's bytes from offset `base` on: the log itself
  // (base 0), or a copy of the part of it that the range needs, which begins
  // at start - 1 (or 0) and ends with the line feed of the range's last line.
  std::string path;
  std::uint64_t base = 0;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::optional<std::string> public_key;  // 64 hex digits; else read from key_file
  std::string key_file;
  unsigned jobs = 1;
  std::uint64_t max_line_bytes = 0;  // as VerifyOptions::max_line_bytes
};

// Reads the range's lines as the whole log's pass does, and checks the
// signature of each line that reads as a record. Throws UsageError for bad
// options (a compressed log, which has no byte ranges) and InputError for a
// file that cannot be read.
CheckedRange check_range(const RangeOptions& options);

// In the pass over the whole log: the signature outcomes of checked ranges
// that cover it, instead of checking each signature again. add() and finish()
// stand in for SignatureChecker's.
class CheckedSignatures {
 public:
  // Throws UsageError unless the ranges follow one another from offset 0 and
  // were checked under `key`.
  CheckedSignatures(std::vector<CheckedRange> ranges, const PublicKey& key);

  void add(std::uint64_t line, std::uint64_t offset, const Hash32& hash, const Signature& signature);

  // The lines whose signature does not verify, in order. Throws InputError
  // when the log's records are not those the ranges were checked on (it
  // changed in between).
  std::vector<std::uint64_t> finish();

 private:
  void close_range();

  std::vector<CheckedRange> ranges_;
  std::size_t current_ = 0;
  std::size_t next_bad_ = 0;
  std::uint64_t records_ = 0;
  Blake3Hasher digest_;
  std::vector<std::uint64_t> bad_lines_;
};

// Adds one record to a range's digest.
void digest_record(Blake3Hasher& digest, std::uint64_t offset, const Hash32& hash, const Signature& signature);

}  // namespace oxa::verify
