#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <span>
#include <string>
#include <thread>

#include "logread/log_start.hpp"
#include "notary/notary_commands.hpp"
#include "test_files.hpp"
#include "tlog/checkpoint.hpp"
#include "tlog/merkle_tree.hpp"
#include "tlog/tiles.hpp"
#include "tlog/tlog_proof.hpp"
#include "verify/sealed_lines_check.hpp"

namespace oxa::notary {
namespace {

using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

std::string numbered_lines(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i) text += "{\"n\":" + std::to_string(i) + "}\n";
  return text;
}

struct NotaryFiles {
  TempDir dir;
  std::string log = dir / "audit.wal";
  std::string key = dir / "notary.key";
  std::string vkey = keygen(key, "example.com/audit");
  SealOptions options() const {
    SealOptions options;
    options.key_path = key;
    options.origin = "example.com/audit";
    options.logs = {log};
    return options;
  }
  std::string checkpoints() const { return log + ".checkpoints"; }
};

std::vector<std::string> kinds(const std::vector<verify::CheckFinding>& findings) {
  std::vector<std::string> out;
  for (const auto& f : findings) out.emplace_back(f.kind);
  return out;
}

TEST(Seal, IncrementalCheckpointsAndNothingWhenUnchanged) {
  NotaryFiles s;
  write_file(s.log, numbered_lines(0, 10) + "{\"torn\"");
  NotaryOutcome first = seal(s.options());
  EXPECT_EQ(first.status, 0) << first.message;
  EXPECT_EQ(first.size, 10u);
  EXPECT_EQ(first.checkpoints_written, 1u);
  EXPECT_EQ(seal(s.options()).checkpoints_written, 0u);

  // The torn line is completed and more lines follow: only they are read.
  write_file(s.log, numbered_lines(0, 10) + "{\"torn\":1}\n" + numbered_lines(10, 15));
  const NotaryOutcome second = seal(s.options());
  EXPECT_EQ(second.size, 16u);
  EXPECT_EQ(second.bytes, read_file(s.log).size());
  EXPECT_EQ(tlog::read_checkpoint_file(s.checkpoints(), false).size(), 2u);

  const verify::CheckpointReport report = verify::check_log_checkpoints({s.log}, s.checkpoints(), s.vkey, true);
  EXPECT_TRUE(report.problems.empty()) << report.problems[0].message;
  EXPECT_EQ(report.sealed_lines, 16u);
}

TEST(Seal, RefusesRewrittenHistoryAndTruncation) {
  NotaryFiles s;
  const std::string original = numbered_lines(0, 20);
  write_file(s.log, original);
  ASSERT_EQ(seal(s.options()).status, 0);
  write_file(s.log, original + numbered_lines(20, 30));
  ASSERT_EQ(seal(s.options()).status, 0);

  // Same length, one byte changed in line 3: only a recheck sees it.
  std::string rewritten = original + numbered_lines(20, 30) + numbered_lines(30, 31);
  rewritten[rewritten.find("\"n\":2}") + 4] = '9';
  write_file(s.log, rewritten);
  SealOptions recheck = s.options();
  recheck.recheck = true;
  const std::string before = read_file(s.checkpoints());
  const NotaryOutcome refused = seal(recheck);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.message.find("size 20 (line 1 of"), std::string::npos) << refused.message;
  EXPECT_EQ(read_file(s.checkpoints()), before);

  write_file(s.log, original.substr(0, 50));
  EXPECT_EQ(seal(s.options()).status, 1);
  // One byte more at the start: the last sealed line no longer ends where it did.
  write_file(s.log, "X" + original + numbered_lines(20, 40));
  EXPECT_EQ(seal(s.options()).status, 1);
  EXPECT_EQ(read_file(s.checkpoints()), before);

  // An origin that is not the key's name is refused before anything is read;
  // another key's checkpoint file (another name, so another origin) is not continued.
  SealOptions other_origin = s.options();
  other_origin.origin = "example.com/other";
  write_file(s.log, original + numbered_lines(20, 40));
  EXPECT_THROW(seal(other_origin), UnusableInputError);
  SealOptions other_key = s.options();
  other_key.key_path = s.dir / "other.key";
  other_key.origin.clear();
  keygen(other_key.key_path, "example.com/other");
  EXPECT_EQ(seal(other_key).status, 1);
  EXPECT_EQ(read_file(s.checkpoints()), before);
}

TEST(Prove, ProofOfOneLineVerifiesAndFailsWhenChanged) {
  NotaryFiles s;
  write_file(s.log, numbered_lines(0, 11));
  ASSERT_EQ(seal(s.options()).status, 0);
  for (std::uint64_t line : {1u, 6u, 11u}) {
    const std::string proof_path = s.dir / ("line" + std::to_string(line) + ".tlog-proof");
    write_file(proof_path, prove(s.checkpoints(), {s.log}, line));
    verify::ProofReport report = verify::check_proof(proof_path, s.vkey, "");
    EXPECT_TRUE(report.problems.empty()) << line << ": " << report.problems[0].message;
    EXPECT_EQ(report.record, "{\"n\":" + std::to_string(line - 1) + "}");

    tlog::TlogProof proof;
    ASSERT_EQ(tlog::parse_tlog_proof(read_file(proof_path), proof), "");
    proof.extra[2] = 'm';
    write_file(proof_path, tlog::format_tlog_proof(proof));
    EXPECT_EQ(kinds(verify::check_proof(proof_path, s.vkey, "").problems), std::vector<std::string>{"inclusion-mismatch"});
  }
  EXPECT_THROW(prove(s.checkpoints(), {s.log}, 12), UnusableInputError);
}

// A proof carries its line whole: a line over the reading limit is refused
// with its number and size, by the tiles and without them, while the lines
// around it are still proved.
TEST(Prove, RefusesALineOverTheLimitAndProvesTheOthers) {
  NotaryFiles s;
  const std::string huge(logread::default_line_limit + 1, 'h');
  write_file(s.log, numbered_lines(0, 2) + huge + "\n" + numbered_lines(2, 4));
  ASSERT_EQ(seal(s.options()).status, 0);
  for (const std::string tiles : {"", "none"}) {
    const std::string dir = tiles.empty() ? std::string() : s.dir / tiles;
    try {
      prove(s.checkpoints(), {s.log}, 3, dir);
      ADD_FAILURE() << "a proof of the long line was made, tiles " << tiles;
    } catch (const UnusableInputError& error) {
      EXPECT_NE(std::string(error.what()).find("line 3 is " + std::to_string(huge.size()) + " bytes long"),
                std::string::npos)
          << error.what();
    }
    for (std::uint64_t line : {2u, 4u}) {
      const std::string proof_path = s.dir / "proof";
      write_file(proof_path, prove(s.checkpoints(), {s.log}, line, dir));
      const verify::ProofReport report = verify::check_proof(proof_path, s.vkey, "");
      EXPECT_TRUE(report.problems.empty()) << line << ": " << report.problems[0].message;
      EXPECT_EQ(report.record, "{\"n\":" + std::to_string(line == 2 ? 1 : 2) + "}");
    }
  }
}

TEST(Prove, AfterOlderLinesWereDeletedFromTheFrontier) {
  NotaryFiles s;
  const std::string lines = numbered_lines(0, 21);
  for (int cut : {5, 13, 21}) {
    // The first `cut` lines (all 21 when no line has that number).
    write_file(s.log, lines.substr(0, lines.find("{\"n\":" + std::to_string(cut) + "}")));
    ASSERT_EQ(seal(s.options()).status, 0);
  }
  // The log now starts at the checkpoint of size 5: its line 1 is leaf 5.
  write_file(s.log, lines.substr(lines.find("{\"n\":5}")));
  for (std::uint64_t line = 1; line <= 16; ++line) {
    const std::string proof_path = s.dir / "p.tlog-proof";
    write_file(proof_path, prove(s.checkpoints(), {s.log}, line));
    const verify::ProofReport report = verify::check_proof(proof_path, s.vkey, "");
    EXPECT_TRUE(report.problems.empty()) << line << ": " << report.problems[0].message;
    EXPECT_EQ(report.line, line + 5);
    EXPECT_EQ(report.record, "{\"n\":" + std::to_string(line + 4) + "}");
  }
}

TEST(Follow, FollowsRotationAndCheckpointsAtStop) {
  NotaryFiles s;
  write_file(s.log, numbered_lines(0, 3));
  std::atomic<bool> stop{false};
  NotaryOutcome outcome;
  SealOptions options = s.options();
  options.every = 1000;
  options.seconds = 1000;
  std::thread notary([&] { outcome = follow(options, [&] { return stop.load(); }, 5); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  {
    std::FILE* f = std::fopen(s.log.c_str(), "a");
    std::fputs(numbered_lines(3, 5).c_str(), f);
    std::fclose(f);
  }
  ASSERT_EQ(std::rename(s.log.c_str(), (s.log + ".1").c_str()), 0);
  write_file(s.log, numbered_lines(5, 9));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  stop = true;
  notary.join();
  EXPECT_EQ(outcome.status, 0) << outcome.message;
  EXPECT_EQ(outcome.size, 9u);
  // One checkpoint at the rotation (the old file read to its end), one at the stop.
  const auto lines = tlog::read_checkpoint_file(s.checkpoints(), false);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].checkpoint->size, 5u);
  const auto report = verify::check_log_checkpoints({s.log + ".1", s.log}, s.checkpoints(), s.vkey, true);
  EXPECT_TRUE(report.problems.empty()) << report.problems[0].message;
  // The newest piece alone still verifies from the rotation checkpoint's frontier.
  EXPECT_TRUE(verify::check_log_checkpoints({s.log}, s.checkpoints(), s.vkey, true).problems.empty());
}

TEST(Follow, RefusesRewrittenHistoryAndTruncationWithoutWriting) {
  NotaryFiles s;
  const std::string original = numbered_lines(0, 8);
  write_file(s.log, original);
  ASSERT_EQ(seal(s.options()).status, 0);
  const std::string before = read_file(s.checkpoints());
  auto never_stop = [] { return false; };

  std::string rewritten = original + numbered_lines(8, 10);
  rewritten[rewritten.find("\"n\":3}") + 4] = '7';
  write_file(s.log, rewritten);
  SealOptions recheck = s.options();
  recheck.recheck = true;
  EXPECT_EQ(follow(recheck, never_stop, 5).status, 1);

  // One byte less: the line feed that ended the last sealed line moved.
  write_file(s.log, original.substr(1) + numbered_lines(8, 10));
  EXPECT_EQ(follow(s.options(), never_stop, 5).status, 1);
  write_file(s.log, original.substr(0, 20));
  EXPECT_EQ(follow(s.options(), never_stop, 5).status, 1);
  EXPECT_EQ(read_file(s.checkpoints()), before);
}

}  // namespace
}  // namespace oxa::notary

namespace oxa::notary {
namespace {

// The follow asks whether to stop once per poll, before it reads: a rewrite
// made in that call lands exactly between two polls.
TEST(Follow, RefusesALogRewrittenInPlaceBetweenTwoPolls) {
  struct Case {
    const char* name;
    std::string (*rewrite)(const std::string& old);
  };
  const Case cases[] = {
      {"line feed kept", [](const std::string& old) {
         std::string same_lengths = old;
         for (std::size_t at = same_lengths.find("\"n\""); at != std::string::npos;
              at = same_lengths.find("\"n\"", at + 1))
           same_lengths[at + 1] = 'm';
         return same_lengths + numbered_lines(20, 23);
       }},
      {"line feed moved", [](const std::string& old) { return "{\"shift\":1}\n" + old + numbered_lines(20, 23); }},
  };
  for (const Case& c : cases) {
    NotaryFiles s;
    const std::string old = numbered_lines(0, 5);
    write_file(s.log, old);
    SealOptions options = s.options();
    options.every = 1;
    int polls = 0;
    const NotaryOutcome outcome = follow(options, [&] {
      if (++polls == 3) write_file(s.log, c.rewrite(old));
      return polls > 50;
    }, 1);
    EXPECT_EQ(outcome.status, 1) << c.name;
    EXPECT_NE(outcome.message.find("rewritten in place"), std::string::npos) << c.name << ": " << outcome.message;
    const auto lines = tlog::read_checkpoint_file(s.checkpoints(), false);
    ASSERT_EQ(lines.size(), 1u) << c.name;
    EXPECT_EQ(lines[0].checkpoint->size, 5u) << c.name;
  }
}

// Another key's signature line: a note keeps lines of keys it does not know.
constexpr std::string_view other_signature = "\xE2\x80\x94 other.example/w AAAAAA==\n";

TEST(Seal, AsksForCosignaturesOnceTheTilesAreDurableAndBeforeStoring) {
  NotaryFiles s;
  write_file(s.log, numbered_lines(0, 7));
  SealOptions options = s.options();
  std::string asked_note;
  std::vector<std::uint64_t> asked_sizes;
  options.cosign = [&](const CosignRequest& request) {
    asked_note = std::string(request.note);
    asked_sizes.push_back(request.size);
    // The new tree's tiles are durable already and give the signed root;
    // the checkpoint is neither stored nor published yet.
    tlog::CheckpointBody body;
    EXPECT_EQ(tlog::parse_checkpoint_body(asked_note.substr(0, asked_note.find("\n\n") + 1), body), "");
    EXPECT_EQ(body.size, request.size);
    tlog::TileReader reader(std::string(request.tiles_dir), request.size);
    EXPECT_EQ(reader.root(), body.root);
    for (const tlog::CheckpointLine& line : tlog::read_checkpoint_file(s.checkpoints(), true)) {
      EXPECT_LT(line.checkpoint->size, request.size);
    }
    std::string published;
    if (tlog::read_published_checkpoint(std::string(request.tiles_dir), published)) {
      EXPECT_EQ(published.find("\n" + std::to_string(request.size) + "\n"), std::string::npos);
    }
    return std::string(other_signature);
  };
  ASSERT_EQ(seal(options).status, 0);
  const std::string cosigned = asked_note + std::string(other_signature);
  EXPECT_EQ(tlog::read_checkpoint_file(s.checkpoints(), false).back().checkpoint->note, cosigned);
  EXPECT_EQ(read_file(s.dir / "audit.wal.tiles/checkpoint"), cosigned);
  // The cosigned checkpoint is still the notary's: the checks pass and the notary continues from it.
  EXPECT_TRUE(verify::check_log_checkpoints({s.log}, s.checkpoints(), s.vkey, true).problems.empty());
  write_file(s.log, numbered_lines(0, 9));
  EXPECT_EQ(seal(options).size, 9u);
  EXPECT_EQ(asked_sizes, (std::vector<std::uint64_t>{7, 9}));
}

TEST(Seal, LeavesOutCosignatureLinesThatWouldSpoilTheNote) {
  const std::string bad_lines[] = {
      "not a signature line\n",
      std::string(other_signature.substr(0, other_signature.size() - 1)),  // no line feed at the end
      "\n" + std::string(other_signature),                                 // a blank line: another body
      "\xE2\x80\x94 other.example/w not*base64\n",
  };
  for (const std::string& lines : bad_lines) {
    NotaryFiles s;
    write_file(s.log, numbered_lines(0, 3));
    SealOptions options = s.options();
    std::string asked_note;
    std::vector<std::string> warnings;
    options.on_warning = [&](const std::string& text) { warnings.push_back(text); };
    options.cosign = [&](const CosignRequest& request) {
      asked_note = std::string(request.note);
      return lines;
    };
    ASSERT_EQ(seal(options).status, 0) << lines;
    EXPECT_EQ(tlog::read_checkpoint_file(s.checkpoints(), false).back().checkpoint->note, asked_note) << lines;
    ASSERT_EQ(warnings.size(), 1u) << lines;
    EXPECT_NE(warnings[0].find("stored without them"), std::string::npos);
  }
}

}  // namespace
}  // namespace oxa::notary
