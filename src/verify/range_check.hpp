#pragma once

#include <cstdint>
#include <functional>
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
  // The same records' lines, counted from the range's first line (0), so
  // that the pass over the whole log can name them without keeping every
  // record's offset.
  std::vector<std::uint64_t> bad_lines;
  std::uint64_t lines = 0;  // lines that begin in the range, up to where reading stops
};

// The ranges' outcomes, asked for only when the pass over the whole log has
// read its last line: the pass can then run while the ranges are checked.
using CheckedRangeSource = std::function<std::vector<CheckedRange>()>;

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
  using Bounds = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

  // The ranges [start, end) as they were planned, and where their outcomes
  // come from. Throws UsageError unless the ranges follow one another from
  // offset 0.
  CheckedSignatures(Bounds bounds, const PublicKey& key, CheckedRangeSource source);
  // Ranges already checked.
  CheckedSignatures(std::vector<CheckedRange> ranges, const PublicKey& key);

  // Every line the pass reads, records or not.
  void line(std::uint64_t number, std::uint64_t offset);
  // The record of the line last given.
  void add(std::uint64_t offset, const Hash32& hash, const Signature& signature);

  // The lines whose signature does not verify, in order. Throws UsageError
  // when the outcomes are not of the planned ranges or were checked under
  // another key, and InputError when the log's records are not those the
  // ranges were checked on (it changed in between).
  std::vector<std::uint64_t> finish();

 private:
  CheckedSignatures(std::pair<Bounds, CheckedRangeSource> given, const PublicKey& key);

  // What the pass itself saw of one range.
  struct Seen {
    std::uint64_t records = 0;
    std::uint64_t lines = 0;
    std::uint64_t first_line = 0;
    Hash32 digest{};
  };
  void advance(std::uint64_t offset);
  void close_range();

  Bounds bounds_;
  PublicKey key_;
  CheckedRangeSource source_;
  std::vector<Seen> seen_;
  std::size_t current_ = 0;
  Blake3Hasher digest_;
};

// Adds one record to a range's digest.
void digest_record(Blake3Hasher& digest, std::uint64_t offset, const Hash32& hash, const Signature& signature);

}  // namespace oxa::verify
