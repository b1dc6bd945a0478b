#include "engine/audit_engine.hpp"

#include "common/fork_generation.hpp"
#include "common/hex_text.hpp"
#include "engine/record_sealing.hpp"
#include "engine/record_stamp.hpp"
#include "store/key_file.hpp"
#include "store/record_line.hpp"

namespace oxa {

namespace {
constexpr std::size_t retained_line_capacity = std::size_t{1} << 20;
// An insight's JSON text is about 420 bytes: 64 small integers and three numbers.
constexpr std::size_t insight_json_capacity = 512;

class ScopeEntered {
 public:
  explicit ScopeEntered(BlockingWorkScope* scope) noexcept : scope_(scope) {
    if (scope_ != nullptr) scope_->enter();
  }
  ~ScopeEntered() noexcept(false) {
    if (scope_ != nullptr) scope_->leave();
  }
  ScopeEntered(const ScopeEntered&) = delete;
  ScopeEntered& operator=(const ScopeEntered&) = delete;

 private:
  BlockingWorkScope* scope_;
};
}  // namespace

AuditEngine::AuditEngine(std::string wal_path)
    : log_(std::move(wal_path)),
      signing_key_(load_or_create_signing_key(log_.path(), &key_file_warning_)),
      chain_root_(genesis_root()),
      // Also installs the fork counter before any fork this engine could outlive.
      chain_generation_(fork_generation()) {}

std::string AuditEngine::public_key_hex() const { return hex_text(signing_key_->public_key()); }

CaptureOutcome AuditEngine::capture(CaptureRequest&& request, BlockingWorkScope* around_log_append) {
  if (const std::uint64_t generation = fork_generation(); generation != chain_generation_) {
    // The analyzer is replaced first: should its allocation fail, nothing
    // has changed and the next capture tries again.
    analyzer_ = ConsistencyAnalyzer();
    chain_root_ = genesis_root();
    chain_generation_ = generation;
  }
  const AnalysisResult analysis =
      analyzer_.analyse(request.prompt.size(), request.output.size(), request.auto_insight);

  const SealInput seal_input{request.triplet.provenance, request.triplet.place, request.triplet.purpose,
                             request.prompt, analysis.coherence, analysis.reputation};
  const Seal seal = seal_record(seal_input, *signing_key_, chain_root_);

  CaptureOutcome outcome;
  RecordValues& record = outcome.record;
  // Both clocks are read after the chain root has advanced, monotonic first.
  record.monotonic_nanos = read_monotonic_nanos();
  record.id = new_record_id();
  record.timestamp = read_timestamp_text();
  record.hash = hex_text(seal.content_hash);
  record.signature = seal.signature;
  record.merkle_root = hex_text(chain_root_);
  record.coherence_score = analysis.coherence;
  record.reputation_scalar = analysis.reputation;
  append_ppp_json(record.ppp_json, request.triplet);
  record.ctx_json = std::move(request.ctx_json);
  record.prompt = std::move(request.prompt);
  record.reasoning_trace_json = std::move(request.reasoning_trace_json);
  record.output = std::move(request.output);
  append_human_delta_chain_json(record.human_delta_chain_json, request.review);
  if (analysis.insight) {
    record.core_insight_json.emplace();
    record.core_insight_json->reserve(insight_json_capacity);
    append_core_insight_json(*record.core_insight_json, *analysis.insight);
  }

  if (!log_.in_memory()) {
    // The line buffer is reused across captures so that a steady stream of
    // records does not allocate for it.
    line_buffer_.clear();
    append_record_line(line_buffer_, record);
    {
      const ScopeEntered blocking(around_log_append);
      outcome.log_error = log_.append(line_buffer_);
    }
    // ...but one outsized record does not pin its memory for the engine's life.
    if (line_buffer_.capacity() > retained_line_capacity) line_buffer_ = std::string();
  }
  return outcome;
}

}  // namespace oxa
