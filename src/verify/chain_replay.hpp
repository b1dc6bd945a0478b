#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/consistency_analysis.hpp"
#include "logread/record_format.hpp"

namespace oxa::verify {

// The consistency analysis run again along many chains at once.
//
// A full analyzer holds 500 vectors (128 KB), too much for each of thousands
// of chains. But a vector depends only on a decision's combined length, so a
// chain's analysis state is fully kept by its reputation and its latest
// (at most 500) combined lengths: a few bytes for a short chain, 4 KB for a
// long one. Full analyzers are kept for the chains used most recently and
// rebuilt from the compact state when a chain comes back.
class ChainReplay {
 public:
  explicit ChainReplay(std::size_t cached_analyzers = 128);

  // A new chain from genesis; returns its index (chains are numbered 0, 1, ...).
  std::uint32_t add_chain();

  // The analysis result of the chain's next decision of this combined length.
  // step() moves the chain on; peek() leaves it as it was.
  AnalysisResult step(std::uint32_t chain, std::uint64_t combined_length);
  AnalysisResult peek(std::uint32_t chain, std::uint64_t combined_length);

  // Whether the chain's next result could be the record's at all: its
  // reputation moves from the chain's by the stated coherence exactly as the
  // record says. A cheap test that rules out most chains without a replay.
  bool reputation_allows(std::uint32_t chain, const logread::RecordFields& record) const;
  // Whether two chains are in the same analysis state, so that a replay of
  // one answers for both.
  bool same_state(std::uint32_t a, std::uint32_t b) const;
  // A record of a chain whose earlier analysis state is unknown (it began
  // from records not in the log, or its replay stopped at a mismatch): its
  // length and stated reputation are taken as they are. Returns true once the
  // chain's whole state is known again, that is after history_limit such
  // records in a row: the analysis keeps no more than that.
  bool observe(std::uint32_t chain, std::uint64_t combined_length, double reputation);
  // Starts counting observed records afresh (after a mismatch).
  void forget(std::uint32_t chain) { chains_[chain].observed = 0; }

  // Whether a record's coherence, reputation and insight are, bit for bit,
  // those of `result`. An absent insight is accepted (the capture may not
  // have allowed one); a present one must have the replayed text.
  bool matches(const AnalysisResult& result, const logread::RecordFields& record);

  // What differs, for the report.
  std::string mismatch_message(const AnalysisResult& result, const logread::RecordFields& record);

 private:
  struct Compact {
    double reputation = initial_reputation;
    std::vector<std::uint64_t> lengths;  // a ring of at most history_limit
    std::uint32_t oldest = 0;            // index of the oldest length once the ring is full
    std::int32_t slot = -1;              // its cached analyzer, if any
    std::uint32_t observed = 0;          // records taken by observe() in a row
  };
  struct Slot {
    ConsistencyAnalyzer analyzer;
    std::uint32_t owner = 0;
    std::uint64_t last_use = 0;
  };

  ConsistencyAnalyzer& analyzer_of(std::uint32_t chain);
  static void remember(Compact& state, std::uint64_t combined_length, double reputation);

  std::vector<Compact> chains_;
  std::vector<Slot> slots_;
  std::size_t slot_limit_;
  std::uint64_t clock_ = 0;
  // A slot's analyzer is reset and rebuilt in place rather than replaced: a
  // fresh 128 KB for every rebuilt chain would fragment the heap without
  // bound, and copying one would cost as much as the replay it serves.
  std::string insight_text_;
};

}  // namespace oxa::verify
