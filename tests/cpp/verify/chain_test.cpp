#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <string>
#include <vector>

#include "engine/consistency_analysis.hpp"
#include "engine/record_sealing.hpp"
#include "verify/chain_replay.hpp"
#include "verify/chain_tracker.hpp"

namespace oxa::verify {
namespace {

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// The replay kept compactly, with as few cached analyzers as possible, gives
// bit for bit what one uninterrupted analyzer per chain gives, also once the
// 500-entry history has wrapped.
TEST(ChainReplay, CompactStateReplaysExactlyLikeFullAnalyzers) {
  constexpr std::uint32_t chains = 3;
  for (const std::size_t cached : {std::size_t{1}, std::size_t{2}, std::size_t{8}}) {
    ChainReplay replay(cached);
    std::vector<ConsistencyAnalyzer> reference(chains);
    for (std::uint32_t c = 0; c < chains; ++c) ASSERT_EQ(replay.add_chain(), c);
    std::mt19937_64 random(cached);
    for (int i = 0; i < 1600; ++i) {
      const std::uint32_t c = static_cast<std::uint32_t>(random() % chains);
      const std::uint64_t length = random() % 300;
      const AnalysisResult expected = reference[c].analyse(length, 0, true);
      const AnalysisResult peeked = replay.peek(c, length);
      const AnalysisResult got = replay.step(c, length);
      for (const AnalysisResult& result : {peeked, got}) {
        ASSERT_EQ(bits(result.coherence), bits(expected.coherence)) << "step " << i;
        ASSERT_EQ(bits(result.reputation), bits(expected.reputation)) << "step " << i;
        ASSERT_EQ(result.insight.has_value(), expected.insight.has_value());
        if (expected.insight) {
          ASSERT_EQ(result.insight->delta, expected.insight->delta);
        }
      }
    }
  }
}

// Records as an engine seals them: content hash, chain root and analysis values.
struct Writer {
  Hash32 root = genesis_root();
  ConsistencyAnalyzer analyzer;
  std::string id;
  std::string prompt = "p";
  std::vector<std::string> insights;  // keeps the insight texts alive

  logread::RecordFields next(std::uint64_t output_length) {
    logread::RecordFields r;
    const AnalysisResult result = analyzer.analyse(prompt.size() + output_length, 0, true);
    r.id = id;
    r.prompt = prompt;
    static const std::string outputs(4096, 'o');
    r.output = std::string_view(outputs).substr(0, output_length);
    r.coherence = result.coherence;
    r.reputation = result.reputation;
    if (result.insight) {
      insights.emplace_back();
      append_core_insight_json(insights.back(), *result.insight);
      r.core_insight_json = insights.back();
    }
    r.hash = content_hash(SealInput{"m", "p", "u", r.prompt, r.coherence, r.reputation});
    root = next_chain_root(root, r.hash);
    r.merkle_root = root;
    return r;
  }
};

std::vector<Link> links(ChainTracker& tracker, const std::vector<logread::RecordFields>& records) {
  std::vector<Link> out;
  std::uint64_t line = 0;
  for (const logread::RecordFields& r : records) out.push_back(tracker.place(++line, r).link);
  return out;
}

TEST(ChainTracker, ManyEnginesInRandomOrderEachFormOneChain) {
  constexpr int engines = 1000;
  std::vector<Writer> writers(engines);
  std::vector<int> order;
  for (int e = 0; e < engines; ++e) {
    writers[e].id = "oxa_" + std::to_string(e);
    order.insert(order.end(), 3, e);
  }
  std::shuffle(order.begin(), order.end(), std::mt19937(5));
  std::vector<logread::RecordFields> records;
  records.reserve(order.size());
  for (const int e : order) records.push_back(writers[e].next(e % 7));
  ChainTracker tracker;
  std::uint64_t line = 0;
  for (const logread::RecordFields& r : records) {
    const Placement placement = tracker.place(++line, r);
    ASSERT_TRUE(placement.link == Link::started || placement.link == Link::extended) << "line " << line;
    ASSERT_TRUE(placement.replay_matched) << "line " << line;
  }
  ASSERT_EQ(tracker.chains().size(), static_cast<std::size_t>(engines));
  for (const ChainInfo& chain : tracker.chains()) EXPECT_EQ(chain.records, 3u);
}

// Engines writing in turn, the usual shared log: every record is found, also
// when the rotation changes, and a gap or a copy inside it is still caught.
TEST(ChainTracker, EnginesWritingInTurn) {
  std::vector<Writer> writers(3);
  for (std::size_t e = 0; e < writers.size(); ++e) {
    writers[e].id = "oxa_" + std::to_string(e);
    writers[e].prompt.assign(e + 1, 'p');  // chains of their own, not one shared root
  }
  std::vector<logread::RecordFields> records;
  for (int round = 0; round < 4; ++round) {
    for (Writer& w : writers) records.push_back(w.next(round + 1));
  }
  // Writer 1 stops; 0 and 2 go on in turn.
  for (int round = 0; round < 3; ++round) {
    records.push_back(writers[0].next(7));
    records.push_back(writers[2].next(8));
  }
  {
    ChainTracker tracker;
    std::vector<Link> expected(records.size(), Link::extended);
    std::fill(expected.begin(), expected.begin() + 3, Link::started);
    EXPECT_EQ(links(tracker, records), expected);
    ASSERT_EQ(tracker.chains().size(), 3u);
    EXPECT_EQ(tracker.chains()[0].records, 7u);
    EXPECT_EQ(tracker.chains()[1].records, 4u);
    EXPECT_EQ(tracker.chains()[2].records, 7u);
  }
  {  // writer 0's second record moved later in the rotation, and copied
    std::vector<logread::RecordFields> damaged = records;
    const logread::RecordFields second = damaged[3];
    damaged.erase(damaged.begin() + 3);
    damaged.insert(damaged.begin() + 8, second);
    damaged.insert(damaged.begin() + 9, second);
    ChainTracker tracker;
    const std::vector<Link> got = links(tracker, damaged);
    EXPECT_EQ(got[5], Link::chain_break);  // writer 0's third record: the root before it is not there yet
    EXPECT_EQ(got[8], Link::extended);     // the moved record extends writer 0's first root, still open
    EXPECT_EQ(got[9], Link::fork);         // its copy extends the same root again
    EXPECT_EQ(got[10], Link::extended);    // writer 0's fourth record follows its third
    EXPECT_EQ(std::count(got.begin(), got.end(), Link::chain_break), 1);
    EXPECT_EQ(std::count(got.begin(), got.end(), Link::fork), 1);
  }
}

TEST(ChainTracker, BreaksForksAndSharedFirstRoots) {
  Writer a;
  a.id = "oxa_a";
  const logread::RecordFields a1 = a.next(3), a2 = a.next(5), a3 = a.next(9), a4 = a.next(1);
  // b's first record differs from a's only in its output's length, outside
  // the hash: the same root, but not the same analysis state.
  std::uint64_t b_length = 4;
  for (;; ++b_length) {
    Writer probe;
    if (probe.next(b_length).merkle_root == a1.merkle_root) break;
  }
  Writer b;
  b.id = "oxa_b";
  const logread::RecordFields b1 = b.next(b_length), b2 = b.next(5);

  {  // a2 missing: a3 breaks, a4 continues the broken chain
    ChainTracker tracker;
    EXPECT_EQ(links(tracker, {a1, a3, a4}), (std::vector<Link>{Link::started, Link::chain_break, Link::extended}));
    EXPECT_EQ(tracker.chains().size(), 2u);
    EXPECT_FALSE(tracker.chains()[1].replaying);
  }
  {  // a2 twice: the copy extends a root already extended
    ChainTracker tracker;
    EXPECT_EQ(links(tracker, {a1, a2, a2, a3}),
              (std::vector<Link>{Link::started, Link::extended, Link::fork, Link::extended}));
    // A record after the copy still has its replay checked.
    logread::RecordFields altered = a3;
    altered.output = altered.output.substr(1);
    ChainTracker shielded;
    links(shielded, {a1, a2, a2});
    const Placement after_copy = shielded.place(4, altered);
    EXPECT_EQ(after_copy.link, Link::extended);
    EXPECT_TRUE(after_copy.replay_checked);
    EXPECT_FALSE(after_copy.replay_matched);
    ChainTracker again;
    links(again, {a1, a2, a3});
    EXPECT_EQ(again.place(4, a2).earlier_line, 2u);
    EXPECT_EQ(again.place(5, a1).earlier_line, 1u);
  }
  {  // a1 twice: the same id at genesis is a fork; b1 with the same root is not
    ChainTracker tracker;
    ASSERT_EQ(a1.merkle_root, b1.merkle_root);
    EXPECT_EQ(links(tracker, {a1, b1, a1}), (std::vector<Link>{Link::started, Link::started, Link::fork}));
  }
  {  // a and b share their first root; each later record goes to the chain its replay matches
    ChainTracker tracker;
    EXPECT_EQ(links(tracker, {a1, b1, a2, b2, a3}),
              (std::vector<Link>{Link::started, Link::started, Link::extended, Link::extended, Link::extended}));
    ASSERT_EQ(tracker.chains().size(), 2u);
    EXPECT_EQ(tracker.chains()[0].records, 3u);
    EXPECT_EQ(tracker.chains()[1].records, 2u);
    EXPECT_EQ(tracker.chains()[0].head, a3.merkle_root);
    EXPECT_EQ(tracker.chains()[1].head, b2.merkle_root);
  }
  {  // many chains in b's state before a's: a2 is replayed past them to a's chain
    ChainTracker tracker;
    std::vector<logread::RecordFields> records = {a1};
    std::vector<std::string> ids;  // the records view their ids
    for (int copy = 0; copy < 20; ++copy) ids.push_back("oxa_b" + std::to_string(copy));
    for (const std::string& id : ids) {
      records.push_back(b1);
      records.back().id = id;
    }
    records.push_back(a2);
    const std::vector<Link> seen = links(tracker, records);
    EXPECT_EQ(seen.back(), Link::extended);
    EXPECT_EQ(tracker.chains()[0].records, 2u);
    EXPECT_EQ(tracker.chains()[0].head, a2.merkle_root);
    const Placement b_next = tracker.place(records.size() + 1, b2);
    EXPECT_EQ(b_next.chain, 20u);  // the most recent of b's copies
    EXPECT_TRUE(b_next.replay_matched);
  }
}

TEST(ChainTracker, ReplayMismatchNamesWhatDiffers) {
  Writer a;
  a.id = "oxa_a";
  const logread::RecordFields a1 = a.next(3);
  logread::RecordFields a2 = a.next(5);
  a2.output = a2.output.substr(0, 4);  // one byte shorter than sealed
  ChainTracker tracker;
  tracker.place(1, a1);
  const Placement placement = tracker.place(2, a2);
  EXPECT_EQ(placement.link, Link::extended);
  EXPECT_TRUE(placement.replay_checked);
  EXPECT_FALSE(placement.replay_matched);
  EXPECT_NE(placement.replay_message.find("coherence_score replays as"), std::string::npos);
}

}  // namespace
}  // namespace oxa::verify
