// Cost of one consistency analysis at history sizes 1, 100 and 500, against
// one Ed25519 signature of a 32-byte hash; prints analysis@500 / signature.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/consistency_analysis.hpp"
#include "engine/weighted_accumulate.hpp"
#include "store/signing_key.hpp"

namespace {

using oxa::ConsistencyAnalyzer;

// Lengths that vary from call to call, so that the history is not uniform.
std::uint64_t length_for(std::uint64_t k) { return 40 + (k * 7919) % 3000; }

ConsistencyAnalyzer filled(std::size_t entries) {
  ConsistencyAnalyzer analyzer;
  for (std::size_t k = 0; k < entries; ++k) analyzer.analyse(length_for(k), 17, true);
  return analyzer;
}

// Full history: it stays at 500 entries, so each iteration is one analysis
// in the steady state of a long-running engine.
void BM_AnalyseFullHistory(benchmark::State& state) {
  ConsistencyAnalyzer analyzer = filled(oxa::history_limit);
  std::uint64_t k = 0;
  for (auto _ : state) {
    auto result = analyzer.analyse(length_for(k++), 17, true);
    benchmark::DoNotOptimize(result);
  }
  state.counters["history"] = static_cast<double>(analyzer.history_size());
}

// Below the limit every analysis grows the history (and so also recomputes
// the weights, as it does in a real engine). Each iteration restores a copy
// filled to just below the size, untimed, then times a short batch of
// analyses centred on the size and reports the mean per analysis.
void BM_AnalyseGrowingHistory(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const std::size_t batch = size >= 10 ? 10 : 1;
  const ConsistencyAnalyzer start = filled(size - (batch + 1) / 2);
  for (auto _ : state) {
    ConsistencyAnalyzer analyzer = start;
    benchmark::ClobberMemory();
    const auto begin = std::chrono::steady_clock::now();
    for (std::size_t k = 0; k < batch; ++k) {
      auto result = analyzer.analyse(length_for(k), 17, true);
      benchmark::DoNotOptimize(result);
    }
    const auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - begin).count() / static_cast<double>(batch));
  }
}

// The weighted sum over a full history with each kernel this processor runs,
// fastest first (the one the history uses).
void BM_WeightedAccumulate(benchmark::State& state) {
  const auto kernel = oxa::weighted_accumulate_kernels()[static_cast<std::size_t>(state.range(0))];
  std::vector<oxa::SemanticVector> entries;
  for (std::size_t j = 0; j < oxa::history_limit; ++j) entries.push_back(oxa::semantic_vector(length_for(j)));
  const std::vector<float> weights(oxa::history_limit, 0.002f);
  for (auto _ : state) {
    oxa::SemanticVector mean{};
    kernel.run(mean.data(), reinterpret_cast<const unsigned char*>(entries.data()), weights.data(), entries.size());
    benchmark::DoNotOptimize(mean);
  }
  state.SetLabel(kernel.instruction_set);
}

void BM_Sign32Bytes(benchmark::State& state) {
  oxa::SigningSeed seed{};
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i * 11 + 5);
  const oxa::SigningKey key(seed);
  std::array<std::uint8_t, 32> message{};
  for (auto _ : state) {
    auto signature = key.sign(message);
    benchmark::DoNotOptimize(signature);
    message[0] = signature[0];  // vary the message a little
  }
}

BENCHMARK(BM_AnalyseGrowingHistory)->Arg(1)->Arg(100)->UseManualTime();
BENCHMARK(BM_AnalyseFullHistory);
BENCHMARK(BM_WeightedAccumulate)->DenseRange(0, static_cast<int>(oxa::weighted_accumulate_kernels().size()) - 1);
BENCHMARK(BM_Sign32Bytes);

// Shows the usual table and keeps the time per iteration of every run, so
// that the ratio can use the median over --benchmark_repetitions (this
// machine is shared; single runs are noisy).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& reports) override {
    ConsoleReporter::ReportRuns(reports);
    for (const Run& run : reports) {
      if (run.error_occurred) continue;
      if (run.run_type == Run::RT_Iteration && run.iterations != 0) {
        seconds_[run.run_name.function_name].push_back(run.real_accumulated_time /
                                                       static_cast<double>(run.iterations));
      } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" && run.iterations != 0) {
        // With --benchmark_report_aggregates_only the single runs are not shown.
        // Its iteration count is the number of repetitions.
        medians_[run.run_name.function_name] = {run.real_accumulated_time / static_cast<double>(run.iterations),
                                                static_cast<std::size_t>(run.iterations)};
      }
    }
  }
  // Median seconds per iteration and the number of runs, 0 when absent.
  std::pair<double, std::size_t> median_seconds(const std::string& name) const {
    const auto it = seconds_.find(name);
    if (it == seconds_.end()) {
      const auto median = medians_.find(name);
      return median == medians_.end() ? std::pair<double, std::size_t>{0.0, 0} : median->second;
    }
    std::vector<double> runs = it->second;
    std::sort(runs.begin(), runs.end());
    const std::size_t n = runs.size();
    return {n % 2 ? runs[n / 2] : (runs[n / 2 - 1] + runs[n / 2]) / 2, n};
  }

 private:
  std::map<std::string, std::vector<double>> seconds_;
  std::map<std::string, std::pair<double, std::size_t>> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto [analyse, analyse_runs] = reporter.median_seconds("BM_AnalyseFullHistory");
  const auto [sign, sign_runs] = reporter.median_seconds("BM_Sign32Bytes");
  if (analyse > 0.0 && sign > 0.0) {
    std::printf("analyse@500 %.0f ns, sign %.0f ns (medians of %zu and %zu runs): ratio %.3f (target <= 0.050)\n",
                analyse * 1e9, sign * 1e9, analyse_runs, sign_runs, analyse / sign);
  }
  return 0;
}
