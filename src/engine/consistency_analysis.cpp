#include "engine/consistency_analysis.hpp"

#include <cmath>

#include "store/json_writer.hpp"

namespace oxa {

namespace {

// Cosine similarity in double precision, each sum accumulated from 0 in
// index order, clamped to [0, 1]; 0.5 when either vector has no positive
// squared norm (including a NaN sum).
double coherence_of(const SemanticVector& v, const SemanticVector& mean) {
  double dot = 0.0;
  double sv = 0.0;
  double sm = 0.0;
  for (std::size_t i = 0; i < semantic_dimensions; ++i) {
    const double a = v[i];
    const double b = mean[i];
    dot += a * b;
    sv += a * a;
    sm += b * b;
  }
  if (!(sv > 0.0 && sm > 0.0)) return 0.5;
  const double c = dot / (std::sqrt(sm) * std::sqrt(sv));
  if (c < 0.0) return 0.0;
  if (c > 1.0) return 1.0;
  return c;
}

std::array<std::int8_t, semantic_dimensions> insight_delta(const SemanticVector& v, const SemanticVector& mean) {
  std::array<std::int8_t, semantic_dimensions> delta;
  for (std::size_t i = 0; i < semantic_dimensions; ++i) {
    float d = (v[i] - mean[i]) * 127.0f;
    if (d < -128.0f) d = -128.0f;
    if (d > 127.0f) d = 127.0f;
    delta[i] = static_cast<std::int8_t>(static_cast<int>(d));  // truncates toward zero
  }
  return delta;
}

}  // namespace

AnalysisResult ConsistencyAnalyzer::analyse(std::uint64_t prompt_bytes, std::uint64_t output_bytes,
                                            bool auto_insight) {
  // Unsigned arithmetic: the sum of two in-memory lengths cannot wrap.
  const SemanticVector v = semantic_vector(prompt_bytes + output_bytes);
  history_.push_front(v);
  const AnalysisResult result = result_of(v, history_.weighted_mean(), auto_insight);
  reputation_ = result.reputation;
  return result;
}

AnalysisResult ConsistencyAnalyzer::preview(std::uint64_t prompt_bytes, std::uint64_t output_bytes,
                                            bool auto_insight) {
  const SemanticVector v = semantic_vector(prompt_bytes + output_bytes);
  return result_of(v, history_.weighted_mean_after(v), auto_insight);
}

AnalysisResult ConsistencyAnalyzer::result_of(const SemanticVector& v, const SemanticVector& mean,
                                              bool auto_insight) const {
  const double coherence = coherence_of(v, mean);
  AnalysisResult result{coherence, 0.0, std::nullopt};
  if (auto_insight && coherence >= insight_threshold) {
    result.insight = CoreInsight{coherence, insight_delta(v, mean)};
  }
  // Each product rounded before the sum; applied on every decision.
  result.reputation = coherence * 0.02 + reputation_ * 0.98;
  return result;
}

void append_core_insight_json(std::string& out, const CoreInsight& insight) {
  json::begin_object(out);
  json::key(out, "lesson");
  json::string(out, insight_lesson);
  json::separator(out);
  json::key(out, "confidence");
  // Both confidences are the coherence: its text is made once and copied.
  const std::size_t confidence_start = out.size();
  json::number(out, insight.confidence);
  const std::size_t confidence_length = out.size() - confidence_start;
  json::separator(out);
  json::key(out, "delta");
  json::begin_object(out);
  json::key(out, "vector");
  json::integer_array(out, insight.delta);
  json::separator(out);
  json::key(out, "confidence");
  out.append(out, confidence_start, confidence_length);
  json::separator(out);
  json::key(out, "delta_norm");
  // A constant: its text is made once.
  static const std::string delta_norm_text = [] {
    std::string text;
    json::number(text, insight_delta_norm);
    return text;
  }();
  out.append(delta_norm_text);
  json::end_object(out);
  json::end_object(out);
}

}  // namespace oxa
