// The cost per record of gathering the report's statistics in the verifier's
// pass (time stamp parse, hour bucket, chain scores, review counts), on
// records as the reader gives them: four engines in turn, one record every
// 15 seconds, so the hour changes every 240 records as in a long real log.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "verify/report_statistics.hpp"
#include "verify/statistics_collector.hpp"

namespace {

using namespace oxa::verify;

constexpr std::size_t record_count = 100000;
constexpr unsigned engines = 4;
constexpr std::int64_t seconds_apart = 15;
constexpr std::int64_t start_seconds = 1767225600;  // 2026-01-01T00:00:00Z

struct Inputs {
  std::vector<std::string> timestamps;
  std::vector<std::string> nodes = {"reviewer-queue", "team-lead", "compliance", "auto-closed"};
  Inputs() {
    timestamps.reserve(record_count);
    for (std::size_t i = 0; i < record_count; ++i) {
      std::string text = time_text(start_seconds + static_cast<std::int64_t>(i) * seconds_apart);
      text.insert(19, ".123456");
      timestamps.push_back(std::move(text));
    }
  }
};

void BM_collect_statistics(benchmark::State& state) {
  static const Inputs inputs;
  std::vector<ChainInfo> chains(engines);
  for (auto _ : state) {
    StatisticsCollector collector;
    RecordFields fields;
    Placement placement;
    for (std::size_t i = 0; i < record_count; ++i) {
      fields.timestamp = inputs.timestamps[i];
      fields.coherence = 0.5 + static_cast<double>(i % 7) / 20.0;
      fields.reputation = 0.5 + static_cast<double>(i % 11) / 40.0;
      fields.core_insight_json = i % 5 == 0 ? std::optional<std::string_view>() : std::string_view("{}");
      fields.review_resolved = i % 3 != 0;
      fields.review_terminal_node = inputs.nodes[i % inputs.nodes.size()];
      placement.chain = static_cast<std::uint32_t>(i % engines);
      collector.add_record(i + 1, fields, placement, chains[placement.chain]);
    }
    benchmark::DoNotOptimize(collector);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(record_count));
  state.counters["ns_per_record"] = benchmark::Counter(
      static_cast<double>(state.iterations() * record_count), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_collect_statistics)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
