#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/decision_history.hpp"
#include "engine/semantic_vector.hpp"

namespace oxa {

// Coherence at or above which a decision, when allowed, yields a core insight.
inline constexpr double insight_threshold = 0.92;
inline constexpr double initial_reputation = 0.5;
inline constexpr std::string_view insight_lesson = "Decision aligns well with historical pattern.";
// Reported as is; not computed from the delta vector.
inline constexpr double insight_delta_norm = 0.18;

struct CoreInsight {
  double confidence;  // the coherence
  // (v[i] - mean[i]) * 127 in single precision, clamped to [-128, 127] and
  // truncated toward zero.
  std::array<std::int8_t, semantic_dimensions> delta;
};

// {"lesson":...,"confidence":C,"delta":{"vector":[...],"confidence":C,"delta_norm":0.18}}
void append_core_insight_json(std::string& out, const CoreInsight& insight);

struct AnalysisResult {
  double coherence;   // in [0, 1]
  double reputation;  // the reputation after this decision
  std::optional<CoreInsight> insight;
};

// The consistency check run on every decision: its semantic vector joins the
// history, the coherence scores how closely it agrees with the weighted
// history, the reputation moves 2% of the way towards the coherence, and a
// high coherence yields a core insight when the caller allows one.
class ConsistencyAnalyzer {
 public:
  ConsistencyAnalyzer() = default;
  // Resumes an analysis kept elsewhere in compact form: on an analyzer with
  // an empty history, restore the reputation it reached, then the combined
  // lengths of its latest decisions, oldest first (the history depends on
  // nothing else).
  void restore_reputation(double reputation) { reputation_ = reputation; }
  void restore_decision(std::uint64_t combined_length) { history_.push_front(semantic_vector(combined_length)); }

  AnalysisResult analyse(std::uint64_t prompt_bytes, std::uint64_t output_bytes, bool auto_insight);
  // What analyse() would return, bit for bit, leaving the analysis as it is.
  AnalysisResult preview(std::uint64_t prompt_bytes, std::uint64_t output_bytes, bool auto_insight);
  // Back to a new analyzer's state, keeping the history's storage.
  void reset() noexcept {
    history_.clear();
    reputation_ = initial_reputation;
  }

  double reputation() const { return reputation_; }
  std::size_t history_size() const { return history_.size(); }

 private:
  AnalysisResult result_of(const SemanticVector& v, const SemanticVector& mean, bool auto_insight) const;

  DecisionHistory history_;
  double reputation_ = initial_reputation;
};

}  // namespace oxa
