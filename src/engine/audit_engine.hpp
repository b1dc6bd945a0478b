#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/blake3_hash.hpp"
#include "engine/consistency_analysis.hpp"
#include "engine/context_values.hpp"
#include "store/record_values.hpp"
#include "store/signing_key.hpp"
#include "store/write_ahead_log.hpp"

namespace oxa {

// One decision as the Python layer hands it over: texts already taken out of
// Python objects and the two json.dumps results.
struct CaptureRequest {
  std::string prompt;
  std::string output;
  std::string ctx_json;
  std::string reasoning_trace_json;
  PPPTripletValues triplet;
  HumanDeltaChainValues review;
  bool auto_insight = true;
};

struct CaptureOutcome {
  RecordValues record;
  // Set when the record's line could not be appended to the log: the error's rendering.
  std::optional<std::string> log_error;
};

// Brackets work of a capture that may block (the log's open, write and
// close), so that the caller can let others run meanwhile. Both are called on
// the capturing thread, leave after enter, also when the work fails; leave
// may end the thread by unwinding (pthread_exit), nothing else throws.
class BlockingWorkScope {
 public:
  virtual void enter() noexcept = 0;
  virtual void leave() = 0;

 protected:
  ~BlockingWorkScope() = default;
};

// The state behind one audit log: its path, signing key, chain root, decision
// history and reputation. Capture changes the history and reputation, then the
// chain root, and never rolls either back.
//
// In a process made by fork() the engine starts a new chain at its first
// capture there, as a new engine on the same log would (genesis root, empty
// history, initial reputation, the same key): parent and child each extend
// their own chain instead of both extending the one they shared, which would
// read as a replayed record.
class AuditEngine {
 public:
  // Touches the log once (creating it empty when it can) and loads or creates
  // the signing key; key-file failures are internal faults.
  explicit AuditEngine(std::string wal_path);

  std::string public_key_hex() const;

  // Analyses, seals, stamps and logs one decision; the log append runs
  // inside `around_log_append` when one is given.
  CaptureOutcome capture(CaptureRequest&& request, BlockingWorkScope* around_log_append = nullptr);

  const std::string& wal_path() const { return log_.path(); }

  // Set when the key file loaded but others can read it: the warning's text.
  const std::optional<std::string>& key_file_warning() const { return key_file_warning_; }

 private:
  WriteAheadLog log_;
  std::optional<std::string> key_file_warning_;
  std::unique_ptr<SigningKey> signing_key_;
  Hash32 chain_root_;
  ConsistencyAnalyzer analyzer_;
  // The fork generation in which chain_root_ and analyzer_ were made.
  std::uint64_t chain_generation_;
  std::string line_buffer_;
};

}  // namespace oxa
