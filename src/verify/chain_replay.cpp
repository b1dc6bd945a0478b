#include "verify/chain_replay.hpp"

#include <bit>
#include <cstring>

#include "engine/decision_history.hpp"
#include "store/json_writer.hpp"

namespace oxa::verify {

ChainReplay::ChainReplay(std::size_t cached_analyzers) : slot_limit_(cached_analyzers == 0 ? 1 : cached_analyzers) {}

std::uint32_t ChainReplay::add_chain() {
  chains_.emplace_back();
  return static_cast<std::uint32_t>(chains_.size() - 1);
}

ConsistencyAnalyzer& ChainReplay::analyzer_of(std::uint32_t chain) {
  Compact& state = chains_[chain];
  ++clock_;
  if (state.slot >= 0) {
    Slot& slot = slots_[static_cast<std::size_t>(state.slot)];
    slot.last_use = clock_;
    return slot.analyzer;
  }
  std::size_t index = slots_.size();
  if (slots_.size() < slot_limit_) {
    slots_.emplace_back();
  } else {
    // The least recently used analyzer goes; its chain keeps its compact state.
    index = 0;
    for (std::size_t i = 1; i < slots_.size(); ++i) {
      if (slots_[i].last_use < slots_[index].last_use) index = i;
    }
    chains_[slots_[index].owner].slot = -1;
  }
  Slot& slot = slots_[index];
  slot.analyzer.reset();
  slot.analyzer.restore_reputation(state.reputation);
  const std::size_t count = state.lengths.size();
  for (std::size_t i = 0; i < count; ++i) {
    slot.analyzer.restore_decision(state.lengths[(state.oldest + i) % count]);
  }
  slot.owner = chain;
  slot.last_use = clock_;
  state.slot = static_cast<std::int32_t>(index);
  return slot.analyzer;
}

void ChainReplay::remember(Compact& state, std::uint64_t combined_length, double reputation) {
  state.reputation = reputation;
  if (state.lengths.size() < history_limit) {
    state.lengths.push_back(combined_length);
  } else {
    state.lengths[state.oldest] = combined_length;
    state.oldest = static_cast<std::uint32_t>((state.oldest + 1) % history_limit);
  }
}

AnalysisResult ChainReplay::step(std::uint32_t chain, std::uint64_t combined_length) {
  // The caller's record keeps its insight whether or not it allowed one, so
  // the replay always asks for it.
  AnalysisResult result = analyzer_of(chain).analyse(combined_length, 0, true);
  remember(chains_[chain], combined_length, result.reputation);
  return result;
}

bool ChainReplay::observe(std::uint32_t chain, std::uint64_t combined_length, double reputation) {
  Compact& state = chains_[chain];
  remember(state, combined_length, reputation);
  if (state.slot >= 0) {
    // Keep a cached analyzer in step with the compact state it was built from.
    ConsistencyAnalyzer& analyzer = slots_[static_cast<std::size_t>(state.slot)].analyzer;
    analyzer.restore_decision(combined_length);
    analyzer.restore_reputation(reputation);
  }
  if (state.observed < history_limit) ++state.observed;
  return state.observed >= history_limit;
}

AnalysisResult ChainReplay::peek(std::uint32_t chain, std::uint64_t combined_length) {
  return analyzer_of(chain).preview(combined_length, 0, true);
}

bool ChainReplay::reputation_allows(std::uint32_t chain, const logread::RecordFields& record) const {
  // The replayed reputation is coherence * 0.02 + reputation * 0.98 with the
  // replayed coherence, which must be the record's for a match: the same
  // expression with the record's coherence gives the only reputation that
  // can match.
  const double reputation = record.coherence * 0.02 + chains_[chain].reputation * 0.98;
  return std::bit_cast<std::uint64_t>(reputation) == std::bit_cast<std::uint64_t>(record.reputation);
}

bool ChainReplay::same_state(std::uint32_t a, std::uint32_t b) const {
  const Compact& x = chains_[a];
  const Compact& y = chains_[b];
  if (std::bit_cast<std::uint64_t>(x.reputation) != std::bit_cast<std::uint64_t>(y.reputation) ||
      x.lengths.size() != y.lengths.size()) {
    return false;
  }
  const std::size_t count = x.lengths.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (x.lengths[(x.oldest + i) % count] != y.lengths[(y.oldest + i) % count]) return false;
  }
  return true;
}

namespace {

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

void append_float(std::string& out, double value) {
  if (value != value) {
    out += "null";
  } else {
    json::number(out, value);
  }
}

}  // namespace

bool ChainReplay::matches(const AnalysisResult& result, const logread::RecordFields& record) {
  if (!same_bits(result.coherence, record.coherence) || !same_bits(result.reputation, record.reputation)) {
    return false;
  }
  if (!record.core_insight_json) return true;
  if (!result.insight) return false;
  insight_text_.clear();
  append_core_insight_json(insight_text_, *result.insight);
  return insight_text_ == *record.core_insight_json;
}

std::string ChainReplay::mismatch_message(const AnalysisResult& result, const logread::RecordFields& record) {
  std::string message;
  auto add = [&](std::string_view what, double replayed, double stated) {
    if (!message.empty()) message += "; ";
    message += what;
    message += " replays as ";
    append_float(message, replayed);
    message += ", the record says ";
    append_float(message, stated);
  };
  if (!same_bits(result.coherence, record.coherence)) add("coherence_score", result.coherence, record.coherence);
  if (!same_bits(result.reputation, record.reputation)) add("reputation_scalar", result.reputation, record.reputation);
  if (message.empty() && record.core_insight_json) {
    message = result.insight ? "core_insight_json differs from the replayed insight"
                             : "core_insight_json is present where the replay gives no insight";
  }
  return message;
}

}  // namespace oxa::verify
