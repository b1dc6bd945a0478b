#include "store/record_line.hpp"

#include "store/json_writer.hpp"

namespace oxa {

namespace {

void string_member(std::string& out, std::string_view name, std::string_view value) {
  json::separator(out);
  json::key(out, name);
  json::string(out, value);
}

void number_member(std::string& out, std::string_view name, double value) {
  json::separator(out);
  json::key(out, name);
  json::number(out, value);
}

}  // namespace

void append_record_line(std::string& out, const RecordValues& record) {
  json::begin_object(out);
  json::key(out, "id");
  json::string(out, record.id);
  string_member(out, "timestamp", record.timestamp);
  json::separator(out);
  json::key(out, "monotonic_nanos");
  json::unsigned_integer(out, record.monotonic_nanos);
  string_member(out, "hash", record.hash);
  json::separator(out);
  json::key(out, "signature");
  json::integer_array(out, record.signature);
  string_member(out, "merkle_root", record.merkle_root);
  number_member(out, "coherence_score", record.coherence_score);
  number_member(out, "reputation_scalar", record.reputation_scalar);
  string_member(out, "ppp_json", record.ppp_json);
  string_member(out, "ctx_json", record.ctx_json);
  string_member(out, "prompt", record.prompt);
  string_member(out, "reasoning_trace_json", record.reasoning_trace_json);
  string_member(out, "output", record.output);
  string_member(out, "human_delta_chain_json", record.human_delta_chain_json);
  json::separator(out);
  json::key(out, "core_insight_json");
  if (record.core_insight_json) {
    json::string(out, *record.core_insight_json);
  } else {
    json::null(out);
  }
  json::end_object(out);
}

}  // namespace oxa
