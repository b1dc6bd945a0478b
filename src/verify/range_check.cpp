#include "verify/range_check.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>

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
    // Each record's offset and line within the range, by its index, which
    // stands for it in the signature checks.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> places;
    bool first = options.start > 0;
    while (source.next(line)) {
      const std::uint64_t offset = line.offset + options.base;
      if (first) {
        first = false;
        // The end of the line before the range (or its line feed alone).
        if (offset < options.start) continue;
      }
      if (offset >= options.end) break;
      const std::uint64_t at_line = range.lines++;
      // The same lines as the whole log's pass reads as records, and no others.
      if (line.too_long) {
        if (!line.terminated) break;
        continue;
      }
      if (!reader.read(line.text, true, fields).empty()) {
        if (!line.terminated) break;
        continue;
      }
      digest_record(digest, offset, fields.hash, fields.signature);
      signatures.add(range.records++, fields.hash, fields.signature);
      places.emplace_back(offset, at_line);
    }
    for (const std::uint64_t record : signatures.finish()) {
      range.bad.push_back(places[record].first);
      range.bad_lines.push_back(places[record].second);
    }
    range.digest = digest.finalize();
  } catch (const logread::LogSourceError& e) {
    throw InputError(e.what());
  }
  return range;
}

CheckedSignatures::CheckedSignatures(Bounds bounds, const PublicKey& key, CheckedRangeSource source)
    : bounds_(std::move(bounds)), key_(key), source_(std::move(source)) {
  std::uint64_t expected = 0;
  for (const auto& [start, end] : bounds_) {
    if (start != expected || end < start) {
      throw UsageError("the checked byte ranges must follow one another from the log's first byte");
    }
    expected = end;
  }
  if (bounds_.empty()) throw UsageError("no checked byte range given");
  seen_.resize(bounds_.size());
}

namespace {

// The bounds of ranges already checked, read before the ranges move into their source.
std::pair<CheckedSignatures::Bounds, CheckedRangeSource> given_ranges(std::vector<CheckedRange> ranges) {
  CheckedSignatures::Bounds bounds;
  for (const CheckedRange& range : ranges) bounds.emplace_back(range.start, range.end);
  std::sort(bounds.begin(), bounds.end());
  return {std::move(bounds), [ranges = std::move(ranges)]() mutable { return std::move(ranges); }};
}

}  // namespace

CheckedSignatures::CheckedSignatures(std::vector<CheckedRange> ranges, const PublicKey& key)
    : CheckedSignatures(given_ranges(std::move(ranges)), key) {}

CheckedSignatures::CheckedSignatures(std::pair<Bounds, CheckedRangeSource> given, const PublicKey& key)
    : CheckedSignatures(std::move(given.first), key, std::move(given.second)) {}

void CheckedSignatures::advance(std::uint64_t offset) {
  while (current_ < bounds_.size() && offset >= bounds_[current_].second) close_range();
  if (current_ == bounds_.size()) throw InputError(std::string(changed_message));
}

void CheckedSignatures::close_range() {
  seen_[current_].digest = digest_.finalize();
  ++current_;
  digest_ = Blake3Hasher();
}

void CheckedSignatures::line(std::uint64_t number, std::uint64_t offset) {
  advance(offset);
  Seen& seen = seen_[current_];
  if (seen.lines++ == 0) seen.first_line = number;
}

void CheckedSignatures::add(std::uint64_t offset, const Hash32& hash, const Signature& signature) {
  advance(offset);
  ++seen_[current_].records;
  digest_record(digest_, offset, hash, signature);
}

std::vector<std::uint64_t> CheckedSignatures::finish() {
  while (current_ < bounds_.size()) close_range();
  std::vector<CheckedRange> ranges = source_();
  std::sort(ranges.begin(), ranges.end(),
            [](const CheckedRange& a, const CheckedRange& b) { return a.start < b.start; });
  if (ranges.size() != bounds_.size()) throw UsageError("the checked byte ranges are not the planned ones");
  std::vector<std::uint64_t> bad_lines;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    const CheckedRange& range = ranges[i];
    if (range.start != bounds_[i].first || range.end != bounds_[i].second) {
      throw UsageError("the checked byte ranges are not the planned ones");
    }
    if (range.key != key_) throw UsageError("a byte range was checked under another public key");
    // Growing strictly: a line named twice would be reported twice.
    const auto not_growing = std::greater_equal<std::uint64_t>();
    if (range.bad_lines.size() != range.bad.size() ||
        std::adjacent_find(range.bad.begin(), range.bad.end(), not_growing) != range.bad.end() ||
        std::adjacent_find(range.bad_lines.begin(), range.bad_lines.end(), not_growing) != range.bad_lines.end()) {
      throw UsageError("a byte range's bad signatures must be in order, each with its line");
    }
    const Seen& seen = seen_[i];
    if (range.records != seen.records || range.lines != seen.lines || range.digest != seen.digest) {
      throw InputError(std::string(changed_message));
    }
    for (const std::uint64_t line : range.bad_lines) {
      if (line >= seen.lines) throw InputError(std::string(changed_message));
      bad_lines.push_back(seen.first_line + line);
    }
  }
  return bad_lines;
}

}  // namespace oxa::verify
