#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "store/record_line.hpp"

namespace oxa {
namespace {

RecordValues sample_record() {
  RecordValues r;
  r.id = "oxa_0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9";
  r.timestamp = "2024-05-06T07:08:09.123456+00:00";
  r.monotonic_nanos = 18446744073709551615ull;
  r.hash = std::string(64, 'a');
  r.signature.fill(0);
  r.signature[0] = 255;
  r.signature[1] = 1;
  r.signature[63] = 128;
  r.merkle_root = std::string(64, 'b');
  r.coherence_score = 0.5;
  r.reputation_scalar = 1.0;
  r.ppp_json = R"({"provenance":"a","place":"b","purpose":"c"})";
  r.ctx_json = R"({"k": [1, 2]})";
  r.prompt = "l\n\t\x01\"q\\ \xc3\xa9/";
  r.reasoning_trace_json = "null";
  r.output = "out";
  r.human_delta_chain_json = R"({"chain_id":null})";
  return r;
}

std::string signature_text() {
  std::string text = "[255,1,";
  for (int i = 2; i < 63; ++i) text += "0,";
  return text + "128]";
}

std::string line_of(const RecordValues& record) {
  std::string out;
  append_record_line(out, record);
  return out;
}

TEST(RecordLine, ExactTextWithoutInsight) {
  const std::string expected =
      R"({"id":"oxa_0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9","timestamp":"2024-05-06T07:08:09.123456+00:00",)"
      R"("monotonic_nanos":18446744073709551615,"hash":")" + std::string(64, 'a') +
      R"(","signature":)" + signature_text() + R"(,"merkle_root":")" + std::string(64, 'b') +
      R"(","coherence_score":0.5,"reputation_scalar":1.0,)"
      R"("ppp_json":"{\"provenance\":\"a\",\"place\":\"b\",\"purpose\":\"c\"}",)"
      R"("ctx_json":"{\"k\": [1, 2]}","prompt":"l\n\t\u0001\"q\\ )" "\xc3\xa9" R"(/",)"
      R"("reasoning_trace_json":"null","output":"out",)"
      R"("human_delta_chain_json":"{\"chain_id\":null}","core_insight_json":null})";
  EXPECT_EQ(line_of(sample_record()), expected);
}

TEST(RecordLine, InsightAsStringAndNonFiniteScoresAsNull) {
  RecordValues record = sample_record();
  record.core_insight_json = R"({"delta":[0.25]})";
  record.coherence_score = std::numeric_limits<double>::quiet_NaN();
  record.reputation_scalar = -std::numeric_limits<double>::infinity();
  const std::string line = line_of(record);
  EXPECT_NE(line.find(R"("coherence_score":null,"reputation_scalar":null,)"), std::string::npos);
  const std::string tail = R"(,"core_insight_json":"{\"delta\":[0.25]}"})";
  ASSERT_GE(line.size(), tail.size());
  EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
}

}  // namespace
}  // namespace oxa
