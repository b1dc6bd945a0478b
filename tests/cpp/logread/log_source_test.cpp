#include "logread/log_source.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <string_view>
#include <vector>

#include "test_files.hpp"

namespace oxa::logread {
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

TEST(LogSource, NamesThePieceAndTheLineWithinItOfEveryLine) {
  TempDir dir;
  write_file(dir / "a", "one\ntw");
  write_gzip(dir / "b", "o\nthree\n");  // compressed without the name saying so
  write_file(dir / "c", "");
  write_file(dir / "d", "four\nlast");
  LogSource source({dir / "a", dir / "b", dir / "c", dir / "d"});
  struct Placed {
    std::string text;
    std::uint32_t piece;
    std::uint64_t piece_line;
    bool piece_start;
    bool operator==(const Placed&) const = default;
  };
  std::vector<Placed> seen;
  LogLine line;
  while (source.next(line)) seen.push_back({std::string(line.text), line.piece, line.piece_line, line.piece_start});
  // "two" begins in a and ends in b: it is a's second line, and b's first line is "three".
  EXPECT_EQ(seen, (std::vector<Placed>{{"one", 0, 1, true},
                                       {"two", 0, 2, false},
                                       {"three", 1, 1, false},
                                       {"four", 3, 1, true},
                                       {"last", 3, 2, false}}));
  EXPECT_TRUE(source.truncated_pieces().empty());
}

TEST(LogSource, ReadsACompressedPieceCutShortAsFarAsItGoes) {
  TempDir dir;
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + "\n";
  write_gzip(dir / "cut.gz", text);
  const std::string whole = testing_support::read_file(dir / "cut.gz");
  write_file(dir / "cut.gz", whole.substr(0, whole.size() / 2));
  write_file(dir / "next", "after\n");
  LogSource source({dir / "cut.gz", dir / "next"});
  const std::vector<Seen> seen = read_all(source);
  ASSERT_GT(seen.size(), 2u);
  EXPECT_LT(seen.size(), 20000u);
  for (std::size_t i = 0; i + 1 < seen.size(); ++i) ASSERT_EQ(seen[i].text, "line " + std::to_string(i));
  // The pieces after it are still read (the cut line runs into the next piece's first).
  EXPECT_TRUE(seen.back().text.ends_with("after"));
  EXPECT_EQ(source.truncated_pieces(), (std::vector<std::uint32_t>{0}));
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

// Collects the bytes of each too-long line the source hands on.
class RecordingSink : public LongLineSink {
 public:
  void begin_line() override { lines.emplace_back(); }
  void line_bytes(std::string_view bytes) override {
    ASSERT_FALSE(lines.empty()) << "bytes before begin_line()";
    lines.back().append(bytes);
  }
  std::vector<std::string> lines;
};

// A too-long line is handed on whole, in order, while it streams past: found
// whole in the buffer, beyond the buffer and across pieces, or last without a
// line feed; lines within the limit are not.
TEST(LogSource, TooLongLinesReachTheSinkWhole) {
  TempDir dir;
  const std::string huge(3 * (1 << 20) + 5, 'h');
  std::string across(2 * (1 << 20), 'a');
  across[12345] = 'b';  // the bytes must arrive in order, not just in number
  write_file(dir / "a", "12345\n123456\n" + huge + "\nok\n" + across.substr(0, 1 << 20));
  write_gzip(dir / "b.gz", across.substr(1 << 20) + "\n567\n" + huge);
  LogSource source({dir / "a", dir / "b.gz"});
  source.set_line_limit(5);
  RecordingSink sink;
  source.set_long_line_sink(&sink);
  std::vector<std::uint64_t> lengths;
  std::vector<std::size_t> handed_on;  // lines in the sink when each line arrives
  LogLine line;
  while (source.next(line)) {
    lengths.push_back(line.length);
    handed_on.push_back(sink.lines.size());
    if (!line.too_long) {
      EXPECT_EQ(line.length, line.text.size());
    }
  }
  EXPECT_EQ(lengths, (std::vector<std::uint64_t>{5, 6, huge.size(), 2, across.size(), 3, huge.size()}));
  EXPECT_EQ(handed_on, (std::vector<std::size_t>{0, 1, 2, 2, 3, 3, 4}));
  ASSERT_EQ(sink.lines.size(), 4u);
  EXPECT_EQ(sink.lines[0], "123456");
  EXPECT_TRUE(sink.lines[1] == huge) << sink.lines[1].size();
  EXPECT_TRUE(sink.lines[2] == across) << sink.lines[2].size();
  EXPECT_TRUE(sink.lines[3] == huge) << sink.lines[3].size();
}

TEST(LogSource, ReportsWhatCannotBeRead) {
  TempDir dir;
  write_gzip(dir / "damaged.gz", std::string(100000, 'y'));
  std::string bytes = testing_support::read_file(dir / "damaged.gz");
  for (std::size_t i = 12; i < bytes.size() - 8; i += 7) bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
  write_file(dir / "damaged.gz", bytes);
  write_gzip(dir / "trailing.gz", "one\n");
  write_file(dir / "trailing.gz", testing_support::read_file(dir / "trailing.gz") + "garbage");

  EXPECT_THROW(LogSource({dir / "missing"}), LogSourceError);
  EXPECT_THROW(LogSource({dir.path()}), LogSourceError);
  for (const char* name : {"damaged.gz", "trailing.gz"}) {
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
}  // namespace oxa::logread
