#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "store/signing_key.hpp"

namespace oxa {

// The fifteen values of one sealed record, in the order of their keys in the
// log line and of the attributes Python sees.
struct RecordValues {
  std::string id;
  std::string timestamp;
  std::uint64_t monotonic_nanos = 0;
  std::string hash;
  Signature signature{};
  std::string merkle_root;
  double coherence_score = 0.0;
  double reputation_scalar = 0.0;
  std::string ppp_json;
  std::string ctx_json;
  std::string prompt;
  std::string reasoning_trace_json;
  std::string output;
  std::string human_delta_chain_json;
  std::optional<std::string> core_insight_json;
};

}  // namespace oxa
