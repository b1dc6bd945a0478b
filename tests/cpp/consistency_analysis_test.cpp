#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/consistency_analysis.hpp"
#include "engine/decision_history.hpp"
#include "engine/semantic_vector.hpp"
#include "engine/weighted_accumulate.hpp"

namespace oxa {
namespace {

TEST(SemanticVector, KnownComponents) {
  const struct {
    std::uint64_t length;
    std::size_t index;
    float value;
  } cases[] = {
      {0, 0, 0.4000f},  {0, 1, 0.6170f},  {0, 2, 0.8046f},  {0, 3, 0.9374f},
      {0, 4, 0.9975f},  {0, 5, 0.9768f},  {0, 17, 0.4060f},  // x = 6.29 wraps to 0.01
      {0, 63, -0.1825f}, {50, 0, 0.2555f}, {50, 1, 0.4778f}, {50, 2, 0.6877f}, {50, 3, 0.8586f},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(semantic_vector(c.length)[c.index], c.value, 0.00005f) << "L=" << c.length << " i=" << c.index;
  }
}

TEST(SemanticVector, MatchesTheLibraryRemainderAndSineBitForBit) {
  // Written out with fmodf, the fast exact remainder path must not differ,
  // including around the length where it hands over to fmodf.
  std::vector<std::uint64_t> lengths;
  for (std::uint64_t length = 0; length < 5000; ++length) lengths.push_back(length);
  for (std::uint64_t length = 5000; length < (std::uint64_t{1} << 40); length = length * 5 / 4 + 3) {
    lengths.push_back(length);
  }
  for (std::uint64_t length = 2147483500; length < 2147483700; ++length) lengths.push_back(length);
  lengths.push_back(~std::uint64_t{0});
  for (std::uint64_t length : lengths) {
    const SemanticVector v = semantic_vector(length);
    const float s = static_cast<float>(length);
    for (std::size_t i = 0; i < semantic_dimensions; ++i) {
      const float product = static_cast<float>(i) * 0.37f;
      const float x = product + s;
      const float scaled = ::sinf(::fmodf(x, 6.28f)) * 0.6f;
      const float expected = scaled + 0.4f;
      ASSERT_EQ(std::memcmp(&v[i], &expected, sizeof expected), 0) << "L=" << length << " i=" << i;
    }
  }
}

TEST(SemanticVector, ComponentsStayInRange) {
  for (std::uint64_t length : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{123456789},
                               std::uint64_t{1} << 40, ~std::uint64_t{0}}) {
    for (float x : semantic_vector(length)) {
      EXPECT_GE(x, -0.2f - 1e-6f);
      EXPECT_LE(x, 1.0f + 1e-6f);
    }
  }
}

TEST(SemanticVector, PeriodRemainderIsFmodfBitForBit) {
  // A spread of bit patterns from 0 up to beyond the exact-quotient range,
  // and the inputs near multiples of the period, where the quotient rounds.
  std::vector<float> inputs;
  for (std::uint32_t bits = 0; bits < 0x50000000u; bits += 9973) {
    float x;
    std::memcpy(&x, &bits, sizeof x);
    inputs.push_back(x);
  }
  for (float k = 1.0f; k < 1e9f; k = k * 3.0f + 1.0f) {
    float x = k * 6.28f;
    for (int step = 0; step < 3; ++step) x = std::nextafter(x, 0.0f);
    for (int step = 0; step < 6; ++step, x = std::nextafter(x, 1e30f)) inputs.push_back(x);
  }
  for (float x : inputs) {
    const float got = period_remainder(x);
    const float expected = ::fmodf(x, 6.28f);
    ASSERT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << std::hexfloat << x;
  }
}

TEST(DecayPower, RepeatedSquaring) {
  EXPECT_EQ(decay_power(0), 1.0f);
  EXPECT_EQ(decay_power(1), 0.98f);
  EXPECT_EQ(decay_power(2), 0.98f * 0.98f);
  // j = 3: r = 0.98, then r * (0.98 * 0.98); not ((0.98 * 0.98) * 0.98).
  EXPECT_EQ(decay_power(3), 0.98f * (0.98f * 0.98f));
  const float q2 = 0.98f * 0.98f;
  const float q4 = q2 * q2;
  const float q8 = q4 * q4;
  const float q16 = q8 * q8;
  const float q32 = q16 * q16;
  const float q64 = q32 * q32;
  const float q128 = q64 * q64;
  const float q256 = q128 * q128;
  // 500 = 0b111110100
  EXPECT_EQ(decay_power(500), (((((1.0f * q4) * q16) * q32) * q64) * q128) * q256);
}

// The weighted mean computed one component and one product at a time, in the
// defined order, for checking the side-by-side kernel bit for bit.
SemanticVector reference_mean(const std::vector<SemanticVector>& newest_first) {
  const std::size_t m = newest_first.size();
  const float n = (1.0f - decay_power(m)) / (1.0f - 0.98f);
  SemanticVector mean{};
  for (std::size_t i = 0; i < semantic_dimensions; ++i) {
    float acc = 0.0f;
    for (std::size_t j = 0; j < m; ++j) {
      const float w = decay_power(j) / n;
      const float product = newest_first[j][i] * w;
      acc = acc + product;
    }
    mean[i] = acc;
  }
  return mean;
}

TEST(DecisionHistory, NewestFirstBoundedAndMeanMatchesScalarOrder) {
  DecisionHistory history;
  std::vector<SemanticVector> pushed;
  // Through the 500 limit and around the ring more than once.
  for (std::uint64_t k = 0; k < 1100; ++k) {
    const SemanticVector v = semantic_vector(k * 37 % 1009);
    history.push_front(v);
    pushed.insert(pushed.begin(), v);
    if (pushed.size() > history_limit) pushed.pop_back();
    ASSERT_EQ(history.size(), pushed.size());

    const std::size_t m = pushed.size();
    const bool check = m < 4 || m == 77 || m == history_limit - 1 || k % 97 == 0 || k >= 1095;
    if (!check) continue;
    for (std::size_t j : {std::size_t{0}, m / 2, m - 1}) {
      ASSERT_EQ(history.entry(j), pushed[j]) << "k=" << k << " j=" << j;
    }
    const SemanticVector mean = history.weighted_mean();
    const SemanticVector expected = reference_mean(pushed);
    ASSERT_EQ(std::memcmp(mean.data(), expected.data(), sizeof mean), 0) << "k=" << k;
  }
}

TEST(WeightedAccumulate, EveryKernelThisProcessorRunsMatchesTheScalarOrder) {
  // Each kernel directly, not only the one the history picked; the second
  // run splits the entries in two calls, as a wrapped ring does.
  const auto kernels = weighted_accumulate_kernels();
  ASSERT_FALSE(kernels.empty());
  EXPECT_STREQ(kernels.back().instruction_set, "baseline");
  for (const auto& kernel : kernels) {
    for (std::size_t m : {1u, 2u, 7u, 77u, 499u, 500u}) {
      std::vector<SemanticVector> entries;
      for (std::size_t j = 0; j < m; ++j) entries.push_back(semantic_vector(j * 7919 % 3001));
      const float n = (1.0f - decay_power(m)) / (1.0f - 0.98f);
      std::vector<float> weights;
      for (std::size_t j = 0; j < m; ++j) weights.push_back(decay_power(j) / n);
      const SemanticVector expected = reference_mean(entries);
      const auto* bytes = reinterpret_cast<const unsigned char*>(entries.data());

      SemanticVector whole{};
      kernel.run(whole.data(), bytes, weights.data(), m);
      EXPECT_EQ(std::memcmp(whole.data(), expected.data(), sizeof whole), 0) << kernel.instruction_set << " m=" << m;

      SemanticVector split{};
      const std::size_t first = m / 3;
      kernel.run(split.data(), bytes, weights.data(), first);
      kernel.run(split.data(), bytes + first * sizeof(SemanticVector), weights.data() + first, m - first);
      EXPECT_EQ(std::memcmp(split.data(), expected.data(), sizeof split), 0) << kernel.instruction_set << " m=" << m;
    }
  }
}

TEST(DecisionHistory, FirstEntryHasWeightOne) {
  DecisionHistory history;
  const SemanticVector v = semantic_vector(1234);
  history.push_front(v);
  EXPECT_EQ(history.weighted_mean(), v);
}

std::vector<std::int8_t> delta_values(const CoreInsight& insight) {
  return {insight.delta.begin(), insight.delta.end()};
}

TEST(ConsistencyAnalyzer, StartsEmptyAtHalfReputation) {
  const ConsistencyAnalyzer analyzer;
  EXPECT_EQ(analyzer.history_size(), 0u);
  EXPECT_EQ(analyzer.reputation(), 0.5);
}

TEST(ConsistencyAnalyzer, KnownFourCaptureSequence) {
  const struct {
    std::uint64_t prompt_bytes;
    std::uint64_t output_bytes;
    double coherence;
    double reputation;
    bool insight;
  } steps[] = {
      {20, 30, 1.0000, 0.5100, true},
      {50, 0, 1.0000, 0.5198, true},
      {0, 120, 0.9104, 0.5276, false},
      {3, 4, 0.9446, 0.5360, true},
  };
  ConsistencyAnalyzer analyzer;
  std::size_t n = 0;
  for (const auto& s : steps) {
    const AnalysisResult r = analyzer.analyse(s.prompt_bytes, s.output_bytes, true);
    ++n;
    EXPECT_NEAR(r.coherence, s.coherence, 0.00005) << "capture " << n;
    EXPECT_LE(r.coherence, 1.0);
    EXPECT_NEAR(r.reputation, s.reputation, 0.00005) << "capture " << n;
    EXPECT_EQ(r.reputation, analyzer.reputation());
    EXPECT_EQ(analyzer.history_size(), n);
    ASSERT_EQ(r.insight.has_value(), s.insight) << "capture " << n;
    if (!r.insight) continue;
    EXPECT_EQ(r.insight->confidence, r.coherence);
    if (n <= 2) {
      EXPECT_EQ(delta_values(*r.insight), std::vector<std::int8_t>(64, 0));
    } else {
      const std::vector<std::int8_t> begins = {34, 28, 19, 7, -5, -17, -27, -33, -35, -31, -24, -13, 0, 11, 23, 31};
      EXPECT_EQ(std::vector<std::int8_t>(r.insight->delta.begin(), r.insight->delta.begin() + 16), begins);
    }
  }
}

TEST(ConsistencyAnalyzer, ReputationUpdateIsExact) {
  // Identical lengths: the coherence stays at 1 up to rounding and the
  // reputation follows coherence * 0.02 + reputation * 0.98 every time.
  ConsistencyAnalyzer analyzer;
  double expected = 0.5;
  for (int k = 0; k < 30; ++k) {
    const AnalysisResult r = analyzer.analyse(10, 10, k % 2 == 0);
    EXPECT_GT(r.coherence, 1.0 - 1e-6);
    expected = r.coherence * 0.02 + expected * 0.98;
    ASSERT_EQ(r.reputation, expected);
    ASSERT_EQ(r.insight.has_value(), k % 2 == 0);
  }
}

TEST(ConsistencyAnalyzer, AutoInsightOffChangesNothingElse) {
  ConsistencyAnalyzer with;
  ConsistencyAnalyzer without;
  for (std::uint64_t length : {50u, 50u, 120u, 7u, 7000u, 3u}) {
    const AnalysisResult a = with.analyse(length, 0, true);
    const AnalysisResult b = without.analyse(0, length, false);
    EXPECT_EQ(a.coherence, b.coherence);
    EXPECT_EQ(a.reputation, b.reputation);
    EXPECT_FALSE(b.insight.has_value());
  }
  EXPECT_EQ(with.history_size(), without.history_size());
}

TEST(ConsistencyAnalyzer, HistoryStaysAtFiveHundredAndDropsTheOldest) {
  // 500 decisions of one length, then 500 of another: once the first run has
  // left the history, the analysis matches that of an engine which only ever
  // saw the second run, bit for bit.
  ConsistencyAnalyzer analyzer;
  for (int k = 0; k < 500; ++k) analyzer.analyse(1000, 0, false);
  EXPECT_EQ(analyzer.history_size(), 500u);

  ConsistencyAnalyzer fresh;
  AnalysisResult r{};
  AnalysisResult f{};
  for (int k = 0; k < 500; ++k) {
    r = analyzer.analyse(7, 0, true);
    f = fresh.analyse(7, 0, true);
    ASSERT_EQ(analyzer.history_size(), 500u);
    if (k == 0) {
      EXPECT_LT(r.coherence, 0.9);
    }
  }
  EXPECT_EQ(fresh.history_size(), 500u);
  EXPECT_EQ(r.coherence, f.coherence);
  ASSERT_TRUE(r.insight && f.insight);
  EXPECT_EQ(r.insight->delta, f.insight->delta);
  // Both keep their 500 entries and stay in step from here on.
  r = analyzer.analyse(99, 1, true);
  f = fresh.analyse(100, 0, true);
  EXPECT_EQ(r.coherence, f.coherence);
  EXPECT_EQ(analyzer.history_size(), 500u);
}

TEST(CoreInsightJson, Layout) {
  CoreInsight insight{1.0, {}};
  std::string expected =
      R"({"lesson":"Decision aligns well with historical pattern.","confidence":1.0,"delta":{"vector":[)";
  for (int i = 0; i < 64; ++i) expected += i == 0 ? "0" : ",0";
  expected += R"(],"confidence":1.0,"delta_norm":0.18}})";
  std::string out;
  append_core_insight_json(out, insight);
  EXPECT_EQ(out, expected);

  insight.confidence = 0.9446;
  insight.delta.fill(0);
  insight.delta[0] = -128;
  insight.delta[1] = 127;
  insight.delta[63] = -5;
  std::string appended = "x";  // appends after existing text
  append_core_insight_json(appended, insight);
  expected = R"(x{"lesson":"Decision aligns well with historical pattern.","confidence":0.9446,"delta":{"vector":[-128,127)";
  for (int i = 2; i < 63; ++i) expected += ",0";
  expected += R"(,-5],"confidence":0.9446,"delta_norm":0.18}})";
  EXPECT_EQ(appended, expected);
}

}  // namespace
}  // namespace oxa
