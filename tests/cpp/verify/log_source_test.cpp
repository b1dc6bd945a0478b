#include "verify/log_source.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "test_files.hpp"

namespace oxa::verify {
namespace {

using testing_support::TempDir;
using testing_support::write_file;

struct Seen {
  std::string text;
  std::uint64_t number;
  std::uint64_t offset;
  bool terminated;
  bool operator==(const Seen&) const = default;
};

std::vector<Seen> read_all(LogSource& source) {
  std::vector<Seen> seen;
  LogLine line;
  while (source.next(line)) seen.push_back({std::string(line.text), line.number, line.offset, line.terminated});
  return seen;
}

void write_gzip(const std::string& path, const std::string& bytes) {
  gzFile gz = gzopen(path.c_str(), "wb");
  ASSERT_NE(gz, nullptr);
  if (!bytes.empty()) {
    ASSERT_EQ(gzwrite(gz, bytes.data(), static_cast<unsigned>(bytes.size())), static_cast<int>(bytes.size()));
  }
  gzclose(gz);
}

TEST(LogSource, PiecesFormOneStreamWithLinesAcrossTheirBorders) {
  TempDir dir;
  write_file(dir / "a", "one\ntw");
  write_gzip(dir / "b.gz", "o\nthree\n");
  write_file(dir / "c", "");
  write_file(dir / "d", "\nlast");
  LogSource source({dir / "a", dir / "b.gz", dir / "c", dir / "d"});
  EXPECT_EQ(read_all(source), (std::vector<Seen>{{"one", 1, 0, true},
                                                 {"two", 2, 4, true},
                                                 {"three", 3, 8, true},
                                                 {"", 4, 14, true},
                                                 {"last", 5, 15, false}}));
  EXPECT_EQ(source.bytes_consumed(), 19u);
}

TEST(LogSource, StartsAtAnOffsetWithTheGivenNumber) {
  TempDir dir;
  write_file(dir / "a", "one\ntwo\n");
  write_gzip(dir / "b.gz", "three\nfour\n");
  for (const bool compressed_first : {false, true}) {
    std::vector<std::string> paths = {dir / "a", dir / "b.gz"};
    if (compressed_first) {
      write_gzip(dir / "a.gz", "one\ntwo\n");
      paths[0] = dir / "a.gz";
    }
    LogSource source(paths, 8, 3);
    EXPECT_EQ(read_all(source), (std::vector<Seen>{{"three", 3, 8, true}, {"four", 4, 14, true}}));
    LogSource inside(paths, 4, 2);
    EXPECT_EQ(read_all(inside).front(), (Seen{"two", 2, 4, true}));
  }
}

TEST(LogSource, LinesLongerThanTheBufferArriveWhole) {
  TempDir dir;
  const std::string long_line(3 * (1 << 20) + 17, 'x');
  write_file(dir / "a", "short\n" + long_line + "\nend\n");
  LogSource source({dir / "a"});
  const auto seen = read_all(source);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1].text, long_line);
  EXPECT_EQ(seen[2], (Seen{"end", 3, 6 + long_line.size() + 1, true}));
}

// With a limit, a longer line is passed over: it arrives once, empty and
// marked, with its number and offset, and the lines after it are unchanged,
// whether it ends inside a block, beyond the buffer, in a later piece or at
// the end without a line feed.
TEST(LogSource, LinesOverTheLimitArriveMarkedAndEmpty) {
  struct Seen2 {
    std::string text;
    std::uint64_t number;
    std::uint64_t offset;
    bool terminated;
    bool too_long;
    bool operator==(const Seen2&) const = default;
  };
  TempDir dir;
  const std::string huge(3 * (1 << 20) + 5, 'h');
  write_file(dir / "a", "12345\n123456\n" + huge + "\nok\n1234");
  write_gzip(dir / "b.gz", "567\n" + huge);
  for (const std::size_t limit : {std::size_t{5}, std::size_t{6}}) {
    LogSource source({dir / "a", dir / "b.gz"});
    source.set_line_limit(limit);
    std::vector<Seen2> seen;
    LogLine line;
    while (source.next(line)) {
      seen.push_back({std::string(line.text), line.number, line.offset, line.terminated, line.too_long});
    }
    const std::uint64_t after_huge = 13 + huge.size() + 1;
    std::vector<Seen2> expected = {{"12345", 1, 0, true, false},
                                   {limit == 5 ? "" : "123456", 2, 6, true, limit == 5},
                                   {"", 3, 13, true, true},
                                   {"ok", 4, after_huge, true, false},
                                   {"", 5, after_huge + 3, true, true},
                                   {"", 6, after_huge + 11, false, true}};
    EXPECT_EQ(seen, expected) << "limit " << limit;
    EXPECT_EQ(source.bytes_consumed(), after_huge + 11 + huge.size());
  }
}

TEST(LogSource, ReportsWhatCannotBeRead) {
  TempDir dir;
  write_file(dir / "plain.gz", "not compressed\n");
  write_gzip(dir / "cut.gz", std::string(100000, 'y'));
  const std::string whole = testing_support::read_file(dir / "cut.gz");
  write_file(dir / "cut.gz", whole.substr(0, whole.size() / 2));

  EXPECT_THROW(LogSource({dir / "missing"}), LogSourceError);
  EXPECT_THROW(LogSource({dir.path()}), LogSourceError);
  for (const char* name : {"plain.gz", "cut.gz"}) {
    LogSource source({dir / name});
    LogLine line;
    EXPECT_THROW(while (source.next(line)) {}, LogSourceError) << name;
  }
  try {
    LogSource source({dir / "missing"});
  } catch (const LogSourceError& e) {
    EXPECT_NE(std::string(e.what()).find(dir / "missing"), std::string::npos);
  }
}

TEST(LogSource, NeverChangesTheFiles) {
  TempDir dir;
  write_file(dir / "a", "one\n");
  { LogSource source({dir / "a"}); read_all(source); }
  EXPECT_EQ(dir.entries(), (std::set<std::string>{"a"}));
  EXPECT_EQ(testing_support::read_file(dir / "a"), "one\n");
}

}  // namespace
}  // namespace oxa::verify
