#include "verify/range_check.hpp"

#include <algorithm>
#include <cstdint>

#include "common/hex_text.hpp"
#include "verify/key_reading.hpp"
#include "logread/log_source.hpp"
#include "logread/record_format.hpp"
#include "verify/signature_checker.hpp"
#include "verify/verify_errors.hpp"

namespace oxa::verify {

namespace {

constexpr std::string_view changed_message =
    "the log's records are not those its byte ranges were checked on: it changed while it was verified; verify it "
    "again";

}  // namespace

void digest_record(Blake3Hasher& digest, std::uint64_t offset, const Hash32& hash, const Signature& signature) {
  std::array<std::uint8_t, 8> position{};
  for (std::size_t i = 0; i < position.size(); ++i) position[i] = static_cast<std::uint8_t>(offset >> (8 * i));
  digest.update(std::span<const std::uint8_t>(position));
  digest.update(std::span<const std::uint8_t>(hash));
  digest.update(std::span<const std::uint8_t>(signature));
}

CheckedRange check_range(const RangeOptions& options) {
  if (options.start > options.end) throw UsageError("a byte range must not end before it starts");
  if (options.max_line_bytes == 0) throw UsageError("the line limit must be at least 1 byte");
  // The byte before the range tells whether its first byte begins a line.
  const std::uint64_t from = options.start == 0 ? 0 : options.start - 1;
  if (from < options.base) throw UsageError("the file given for a byte range begins after the range");
  CheckedRange range;
  range.start = options.start;
  range.end = options.end;
  range.key = options.public_key ? parse_hex32(*options.public_key, "the public key")
                                 : read_public_key_from_key_file(options.key_file);
  try {
    logread::LogSource source({options.path}, from - options.base);
    if (!source.size_complete()) {
      throw UsageError(options.path + ": a compressed log or a stream has no byte ranges: verify it whole");
    }
    source.set_line_limit(static_cast<std::size_t>(std::min<std::uint64_t>(options.max_line_bytes, SIZE_MAX - 1)));
    SignatureChecker signatures(range.key, options.jobs == 0 ? available_cores() : options.jobs);
    logread::RecordReader reader;
    logread::RecordFields fields;
    Blake3Hasher digest;
    logread::LogLine line;
    bool first = options.start > 0;
    while (source.next(line)) {
      const std::uint64_t offset = line.offset + options.base;
      if (first) {
        first = false;
        // The end of the line before the range (or its line feed alone).
        if (offset < options.start) continue;
      }
      if (offset >= options.end) break;
      // The same lines as the whole log's pass reads as records, and no others.
      if (line.too_long) {
        if (!line.terminated) break;
        continue;
      }
      if (!reader.read(line.text, true, fields).empty()) {
        if (!line.terminated) break;
        continue;
      }
      ++range.records;
      digest_record(digest, offset, fields.hash, fields.signature);
      signatures.add(offset, fields.hash, fields.signature);
    }
    range.bad = signatures.finish();
    range.digest = digest.finalize();
  } catch (const logread::LogSourceError& e) {
    throw InputError(e.what());
  }
  return range;
}

CheckedSignatures::CheckedSignatures(std::vector<CheckedRange> ranges, const PublicKey& key)
    : ranges_(std::move(ranges)) {
  std::sort(ranges_.begin(), ranges_.end(),
            [](const CheckedRange& a, const CheckedRange& b) { return a.start < b.start; });
  std::uint64_t expected = 0;
  for (const CheckedRange& range : ranges_) {
    if (range.start != expected || range.end < range.start) {
      throw UsageError("the checked byte ranges must follow one another from the log's first byte");
    }
    if (range.key != key) throw UsageError("a byte range was checked under another public key");
    if (!std::is_sorted(range.bad.begin(), range.bad.end())) {
      throw UsageError("a byte range's bad signatures must be in order");
    }
    expected = range.end;
  }
  if (ranges_.empty()) throw UsageError("no checked byte range given");
}

void CheckedSignatures::close_range() {
  const CheckedRange& range = ranges_[current_];
  if (records_ != range.records || digest_.finalize() != range.digest) throw InputError(std::string(changed_message));
  ++current_;
  next_bad_ = 0;
  records_ = 0;
  digest_ = Blake3Hasher();
}

void CheckedSignatures::add(std::uint64_t line, std::uint64_t offset, const Hash32& hash,
                            const Signature& signature) {
  while (current_ < ranges_.size() && offset >= ranges_[current_].end) close_range();
  if (current_ == ranges_.size()) throw InputError(std::string(changed_message));
  ++records_;
  digest_record(digest_, offset, hash, signature);
  const std::vector<std::uint64_t>& bad = ranges_[current_].bad;
  while (next_bad_ < bad.size() && bad[next_bad_] < offset) ++next_bad_;
  if (next_bad_ < bad.size() && bad[next_bad_] == offset) bad_lines_.push_back(line);
}

std::vector<std::uint64_t> CheckedSignatures::finish() {
  while (current_ < ranges_.size()) close_range();
  return std::move(bad_lines_);
}

}  // namespace oxa::verify
