#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "common/unusable_input_error.hpp"
#include "logread/log_start.hpp"
#include "notary/notary_commands.hpp"
#include "test_files.hpp"
#include "tlog/merkle_tree.hpp"
#include "verify/sealed_lines_check.hpp"

namespace oxa::verify {
namespace {

using testing_support::TempDir;
using testing_support::write_file;

std::string numbered_lines(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i) text += "{\"n\":" + std::to_string(i) + "}\n";
  return text;
}

// A log, and checkpoints of it sealed by the notary under a fresh key.
struct NotaryFiles {
  TempDir dir;
  std::string log = dir / "audit.wal";
  std::string key = dir / "notary.key";
  std::string vkey = notary::keygen(key, "example.com/audit");
  notary::SealOptions options() const {
    notary::SealOptions options;
    options.key_path = key;
    options.origin = "example.com/audit";
    options.logs = {log};
    return options;
  }
  std::string checkpoints() const { return log + ".checkpoints"; }
};

std::vector<std::string> kinds(const std::vector<CheckFinding>& findings) {
  std::vector<std::string> out;
  for (const auto& f : findings) out.emplace_back(f.kind);
  return out;
}

TEST(CheckLog, FindsMismatchTruncationAndUnsealedTail) {
  NotaryFiles s;
  const std::string lines = numbered_lines(0, 12);
  for (int cut : {4, 8, 12}) {
    std::string piece;
    for (int i = 0, at = 0; i < cut; ++i) at = lines.find('\n', at) + 1, piece = lines.substr(0, at);
    write_file(s.log, piece);
    ASSERT_EQ(notary::seal(s.options()).status, 0);
  }
  auto check = [&](const std::string& content, bool require = false) {
    write_file(s.log, content);
    return check_log_checkpoints({s.log}, s.checkpoints(), s.vkey, require);
  };
  EXPECT_TRUE(check(lines).problems.empty());

  std::string altered = lines;
  altered[altered.find("\"n\":5}") + 4] = '7';
  auto report = check(altered);
  ASSERT_EQ(kinds(report.problems), std::vector<std::string>{"checkpoint-mismatch"});
  EXPECT_EQ(report.problems[0].line, 5u);  // lines 5 to 8: the checkpoint of size 4 holds
  EXPECT_EQ(report.sealed_lines, 4u);

  report = check(lines.substr(0, lines.find("{\"n\":10}")));
  EXPECT_EQ(kinds(report.problems), std::vector<std::string>{"truncated"});

  report = check(lines + numbered_lines(12, 15));
  EXPECT_TRUE(report.problems.empty());
  ASSERT_EQ(kinds(report.warnings), std::vector<std::string>{"unsealed-tail"});
  EXPECT_EQ(report.warnings[0].line, 13u);
  EXPECT_EQ(kinds(check(lines + numbered_lines(12, 15), true).problems), std::vector<std::string>{"unsealed-tail"});

  // Older lines deleted at a checkpoint boundary: the rest continues its frontier.
  report = check(lines.substr(lines.find("{\"n\":4}")));
  EXPECT_TRUE(report.problems.empty()) << report.problems[0].message;
  EXPECT_EQ(report.start_size, 4u);
  EXPECT_EQ(report.sealed_lines, 12u);

  // A checkpoint under another key is a bad checkpoint; an unusable key is an input error.
  NotaryFiles other;
  EXPECT_EQ(kinds(check_log_checkpoints({s.log}, s.checkpoints(), other.vkey, false).problems),
            (std::vector<std::string>{"bad-checkpoint", "bad-checkpoint", "bad-checkpoint"}));
  EXPECT_THROW(check_log_checkpoints({s.log}, s.checkpoints(), "junk", false), UnusableInputError);
}

// A line over the reading limit is hashed while it streams past, never held:
// its leaf is SHA-256 of 0x00 and its bytes all the same, so sealing and
// checking with any limit give what reading it whole gives, and a change
// inside it is still caught.
TEST(CheckLog, LinesOverTheLimitAreHashedNotHeld) {
  NotaryFiles s;
  const std::string huge = "{\"big\":\"" + std::string(3 * (1 << 20), 'x') + "\"}";
  const std::string sealed = numbered_lines(0, 3) + huge + "\n" + numbered_lines(3, 6) + huge + "\n";
  write_file(s.log, sealed + huge);  // the last line is still being written
  notary::SealOptions options = s.options();
  options.line_limit = 16;
  const notary::NotaryOutcome outcome = notary::seal(options);
  ASSERT_EQ(outcome.status, 0) << outcome.message;
  EXPECT_EQ(outcome.size, 8u);
  EXPECT_EQ(outcome.bytes, sealed.size());

  // The leaves, against SHA-256 computed apart from the reader.
  logread::CompleteLines lines({s.log}, 16);
  logread::LogLine line;
  tlog::TreeHash leaf;
  std::vector<bool> too_long;
  std::uint64_t at = 0;
  while (lines.next(line, leaf)) {
    const std::size_t end = sealed.find('\n', at);
    const std::string bytes = std::string(1, '\0') + sealed.substr(at, end - at);
    EXPECT_EQ(leaf, tlog::sha256(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())))
        << "line " << line.number;
    EXPECT_EQ(line.length, end - at);
    too_long.push_back(line.too_long);
    at = end + 1;
  }
  EXPECT_EQ(too_long, (std::vector<bool>{false, false, false, true, false, false, false, true}));

  for (const std::size_t limit : {std::size_t{0}, std::size_t{16}, std::size_t{1} << 20, logread::default_line_limit}) {
    const CheckpointReport report = check_log_checkpoints({s.log}, s.checkpoints(), s.vkey, true, limit);
    EXPECT_TRUE(report.problems.empty()) << "limit " << limit << ": " << report.problems[0].message;
    EXPECT_EQ(report.sealed_lines, 8u) << "limit " << limit;
  }
  // Sealing again with another limit finds the same lines: nothing new.
  EXPECT_EQ(notary::seal(s.options()).checkpoints_written, 0u);

  std::string changed = sealed;
  changed[3 * 8 + 2 * (1 << 20)] = 'y';  // inside the first long line
  write_file(s.log, changed);
  EXPECT_EQ(kinds(check_log_checkpoints({s.log}, s.checkpoints(), s.vkey, true, 16).problems),
            std::vector<std::string>{"checkpoint-mismatch"});
}

}  // namespace
}  // namespace oxa::verify
