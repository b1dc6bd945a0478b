// The parts of a capture below the Python layer: the engine's whole capture
// in memory at a full history (the benchmark's inputs), one Ed25519
// signature for comparison, and a record identifier with its random bytes
// from the per-thread batch or from one system call each.
#include <benchmark/benchmark.h>

#include <array>
#include <string>

#include "common/random_source.hpp"
#include "common/uuid_text.hpp"
#include "engine/audit_engine.hpp"
#include "engine/record_stamp.hpp"

namespace {

std::string text(std::string_view stem, std::size_t size) {
  std::string out;
  while (out.size() < size) out += stem;
  out.resize(size);
  return out;
}

// The inputs of bench/capture_bench.py, as its Python layer hands them over.
oxa::CaptureRequest typical_request() {
  oxa::CaptureRequest request;
  request.prompt = text("Summarise the customer's last three support tickets and flag urgency. ", 200);
  request.output = text("Two tickets concern billing; one reports an outage and is urgent. ", 200);
  request.ctx_json = R"({"user": "u-48213", "session": 9137, "locale": "en-GB", "flags": ["beta", "eu"]})";
  request.reasoning_trace_json = R"(["retrieved 3 documents", "ranked by recency", {"score": 0.87, "kept": 2}])";
  request.triplet = {"model-a@2024-06", "eu-west-1", "support triage"};
  request.review = {"chain-0001", "ticket-17", false, "reviewer-queue"};
  return request;
}

void BM_EngineCaptureInMemory(benchmark::State& state) {
  oxa::AuditEngine engine(":memory:");
  const oxa::CaptureRequest request = typical_request();
  for (std::size_t k = 0; k < 600; ++k) engine.capture(oxa::CaptureRequest(request));
  for (auto _ : state) {
    oxa::CaptureOutcome outcome = engine.capture(oxa::CaptureRequest(request));
    benchmark::DoNotOptimize(outcome.record.id.data());
  }
}
BENCHMARK(BM_EngineCaptureInMemory);

void BM_Sign32Bytes(benchmark::State& state) {
  oxa::SigningSeed seed{};
  const oxa::SigningKey key(seed);
  std::array<std::uint8_t, 32> message{};
  for (auto _ : state) {
    auto signature = key.sign(message);
    benchmark::DoNotOptimize(signature);
    message[0] = signature[0];
  }
}
BENCHMARK(BM_Sign32Bytes);

void BM_RecordId(benchmark::State& state) {
  for (auto _ : state) {
    std::string id = oxa::new_record_id();
    benchmark::DoNotOptimize(id.data());
  }
}
BENCHMARK(BM_RecordId);

// The same identifier with one getrandom call for its 16 bytes.
void BM_RecordIdOneSystemCallEach(benchmark::State& state) {
  for (auto _ : state) {
    std::array<std::uint8_t, oxa::uuid_bytes> bytes;
    if (oxa::fill_random(bytes) != 0) state.SkipWithError("getrandom failed");
    std::string id = "oxa_";
    oxa::append_uuid_v4_text(id, bytes);
    benchmark::DoNotOptimize(id.data());
  }
}
BENCHMARK(BM_RecordIdOneSystemCallEach);

}  // namespace

BENCHMARK_MAIN();
