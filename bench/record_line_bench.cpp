// The cost of the JSON texts a capture builds: the log line of a typical
// record (about 1.8 KB) and an insight's text.
#include <benchmark/benchmark.h>

#include <string>

#include "engine/consistency_analysis.hpp"
#include "engine/context_values.hpp"
#include "store/record_line.hpp"

namespace {

oxa::RecordValues typical_record() {
  oxa::RecordValues record;
  record.id = "oxa_0b2f8a1e-4c4d-4f3e-9a55-1d2e3f405162";
  record.timestamp = "2026-12-06T17:52:01.123456789+00:00";
  record.monotonic_nanos = 1234567890123;
  record.hash = std::string(64, 'a');
  for (std::size_t i = 0; i < record.signature.size(); ++i) record.signature[i] = static_cast<std::uint8_t>(i * 37);
  record.merkle_root = std::string(64, 'b');
  record.coherence_score = 0.9446128845214844;
  record.reputation_scalar = 0.5360381603240967;
  oxa::append_ppp_json(record.ppp_json, {"model-a", "eu-west", "triage"});
  record.ctx_json = R"({"user": 42, "session": "abc", "flags": [1, 2, 3]})";
  record.prompt = std::string(200, 'p');
  record.reasoning_trace_json = R"(["step one", "step two", {"k": 1.5}])";
  record.output = std::string(200, 'o');
  oxa::append_human_delta_chain_json(record.human_delta_chain_json,
                                     {"0b2f8a1e-4c4d-4f3e-9a55-1d2e3f405162", "ref-1", true, "node-9"});
  oxa::CoreInsight insight{0.9446128845214844, {}};
  for (std::size_t i = 0; i < insight.delta.size(); ++i) insight.delta[i] = static_cast<std::int8_t>(i * 7 - 200);
  record.core_insight_json.emplace();
  oxa::append_core_insight_json(*record.core_insight_json, insight);
  return record;
}

void BM_RecordLine(benchmark::State& state) {
  const oxa::RecordValues record = typical_record();
  std::string line;
  for (auto _ : state) {
    line.clear();
    oxa::append_record_line(line, record);
    benchmark::DoNotOptimize(line.data());
  }
  state.counters["bytes"] = static_cast<double>(line.size());
}
BENCHMARK(BM_RecordLine);

void BM_InsightJson(benchmark::State& state) {
  oxa::CoreInsight insight{0.9446128845214844, {}};
  for (std::size_t i = 0; i < insight.delta.size(); ++i) insight.delta[i] = static_cast<std::int8_t>(i * 7 - 200);
  for (auto _ : state) {
    std::string text;
    oxa::append_core_insight_json(text, insight);
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_InsightJson);

}  // namespace

BENCHMARK_MAIN();
