#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "verify/range_check.hpp"
#include "verify/verify_errors.hpp"

namespace oxa::verify {
namespace {

// A record seen by the pass: its offset, content hash and signature (any bytes will do here).
struct Seen {
  std::uint64_t line;
  std::uint64_t offset;
  Hash32 hash;
  Signature signature;
};

std::vector<Seen> records() {
  std::vector<Seen> out;
  for (std::uint64_t i = 0; i < 6; ++i) {
    Seen seen{i + 1, i * 100, {}, {}};
    seen.hash.fill(static_cast<std::uint8_t>(i));
    seen.signature.fill(static_cast<std::uint8_t>(0x80 + i));
    out.push_back(seen);
  }
  return out;
}

// The ranges [0, 250) and [250, 600) as a range check would report them, with `bad` offsets: each record is
// a line, numbered from 0 in its range.
std::vector<CheckedRange> ranges_of(const std::vector<Seen>& seen, const PublicKey& key,
                                    const std::vector<std::uint64_t>& bad) {
  std::vector<CheckedRange> ranges{{0, 250, key, 0, {}, {}, {}, 0}, {250, 600, key, 0, {}, {}, {}, 0}};
  for (CheckedRange& range : ranges) {
    Blake3Hasher digest;
    for (const Seen& s : seen) {
      if (s.offset < range.start || s.offset >= range.end) continue;
      ++range.records;
      digest_record(digest, s.offset, s.hash, s.signature);
      for (const std::uint64_t b : bad) {
        if (b == s.offset) {
          range.bad.push_back(b);
          range.bad_lines.push_back(range.lines);
        }
      }
      ++range.lines;
    }
    range.digest = digest.finalize();
  }
  return ranges;
}

std::vector<std::uint64_t> pass(const std::vector<CheckedRange>& ranges, const PublicKey& key,
                                const std::vector<Seen>& seen) {
  CheckedSignatures checked(ranges, key);
  for (const Seen& s : seen) {
    checked.line(s.line, s.offset);
    checked.add(s.offset, s.hash, s.signature);
  }
  return checked.finish();
}

TEST(CheckedSignatures, NamesTheLinesOfTheRangesBadSignatures) {
  const PublicKey key{1};
  const std::vector<Seen> seen = records();
  EXPECT_EQ(pass(ranges_of(seen, key, {100, 300, 500}), key, seen), (std::vector<std::uint64_t>{2, 4, 6}));
  EXPECT_EQ(pass(ranges_of(seen, key, {}), key, seen), std::vector<std::uint64_t>{});
}

// Whatever differs between the records the ranges saw and those the pass reads is refused.
TEST(CheckedSignatures, RefusesOtherRecordsThanTheRangesSaw) {
  const PublicKey key{1};
  const std::vector<Seen> seen = records();
  const std::vector<CheckedRange> ranges = ranges_of(seen, key, {});
  std::vector<Seen> changed = seen;
  changed[4].signature[0] ^= 1;
  EXPECT_THROW(pass(ranges, key, changed), InputError);
  std::vector<Seen> fewer(seen.begin(), seen.end() - 1);
  EXPECT_THROW(pass(ranges, key, fewer), InputError);
  std::vector<Seen> more = seen;
  more.push_back(Seen{7, 700, {}, {}});
  EXPECT_THROW(pass(ranges, key, more), InputError);
  std::vector<Seen> moved = seen;
  moved[2].offset += 1;
  EXPECT_THROW(pass(ranges, key, moved), InputError);
}

TEST(CheckedSignatures, RefusesRangesThatDoNotCoverTheLogUnderItsKey) {
  const PublicKey key{1};
  const std::vector<Seen> seen = records();
  std::vector<CheckedRange> gap = ranges_of(seen, key, {});
  gap[1].start = 260;
  EXPECT_THROW(CheckedSignatures(gap, key), UsageError);
  EXPECT_THROW(pass(ranges_of(seen, key, {}), PublicKey{2}, seen), UsageError);
  EXPECT_THROW(CheckedSignatures(std::vector<CheckedRange>{}, key), UsageError);
}

// Outcomes asked for at the end: once, after every line, and held to the bounds planned and the lines read.
// A line that is no record (offset 150) counts among the range's lines.
TEST(CheckedSignatures, TakesPendingOutcomesAtTheEndCountingEveryLine) {
  const PublicKey key{1};
  std::vector<Seen> seen = records();
  for (Seen& s : seen) s.line += s.offset >= 200 ? 1 : 0;
  const std::vector<std::uint64_t> bad_offsets{200, 500};
  std::vector<CheckedRange> ranges = ranges_of(seen, key, bad_offsets);
  ranges[0].lines += 1;
  ranges[0].bad_lines = {3};  // 0, 100, the line at 150, 200
  const CheckedSignatures::Bounds planned{{0, 250}, {250, 600}};
  for (const bool counted_right : {true, false}) {
    if (!counted_right) ranges[1].lines += 1;
    std::size_t lines_read = 0;
    std::size_t asked_after = 0;
    int asked = 0;
    CheckedSignatures checked(planned, key, [&] {
      ++asked;
      asked_after = lines_read;
      return ranges;
    });
    for (const Seen& s : seen) {
      if (s.offset == 200) {
        checked.line(3, 150);
        ++lines_read;
      }
      checked.line(s.line, s.offset);
      ++lines_read;
      checked.add(s.offset, s.hash, s.signature);
    }
    EXPECT_EQ(asked, 0);
    if (counted_right) {
      EXPECT_EQ(checked.finish(), (std::vector<std::uint64_t>{4, 7}));
    } else {
      EXPECT_THROW(checked.finish(), InputError);
    }
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(asked_after, seen.size() + 1);
  }
  const CheckedSignatures::Bounds other{{0, 300}, {300, 600}};
  CheckedSignatures elsewhere(other, key, [&] { return ranges_of(seen, key, {}); });
  EXPECT_THROW(elsewhere.finish(), UsageError);
}

}  // namespace
}  // namespace oxa::verify
