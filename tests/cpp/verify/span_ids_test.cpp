#include <gtest/gtest.h>

#include <string>

#include "verify/span_ids.hpp"

namespace oxa::verify {
namespace {

constexpr const char* trace = "4bf92f3577b34da6a3ce929d0e0e4736";
constexpr const char* span = "00f067aa0ba902b7";

// A log line around a ctx JSON text (given as it appears inside the JSON string).
std::string line_with_ctx(const std::string& ctx_member, const std::string& before = "\"id\":\"oxa_1\",") {
  return "{" + before + "\"ctx_json\":" + ctx_member + ",\"prompt\":\"p\"}";
}

std::string ctx_text(const std::string& members) { return "\"{" + members + "}\""; }

std::string ids_members(const std::string& t = trace, const std::string& s = span) {
  return "\\\"trace_id\\\": \\\"" + t + "\\\", \\\"span_id\\\": \\\"" + s + "\\\"";
}

struct SpanCase {
  const char* name;
  std::string line;
  bool found;
};

class SpanIdReading : public testing::TestWithParam<SpanCase> {};

TEST_P(SpanIdReading, TakesTheIdsOfASpanRecordOnly) {
  SpanIdReader reader;
  const auto ids = reader.read(GetParam().line);
  ASSERT_EQ(ids.has_value(), GetParam().found);
  if (ids) {
    EXPECT_EQ(ids->trace_id, trace);
    EXPECT_EQ(ids->span_id, span);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SpanIdReading,
    testing::Values(
        SpanCase{"span_record", line_with_ctx(ctx_text(ids_members() + ", \\\"name\\\": \\\"chat\\\"")), true},
        SpanCase{"ids_after_other_members", line_with_ctx(ctx_text("\\\"a\\\": [1, {\\\"b\\\": 2}], " + ids_members())),
                 true},
        // json.dumps writes NaN for a float attribute that is not a number: it follows the ids.
        SpanCase{"nan_after_the_ids", line_with_ctx(ctx_text(ids_members() + ", \\\"x\\\": NaN")), true},
        SpanCase{"member_of_wrong_type_before_ctx", line_with_ctx(ctx_text(ids_members()), "\"hash\":7,"), true},
        SpanCase{"plain_ctx", line_with_ctx(ctx_text("\\\"user\\\": \\\"u1\\\"")), false},
        SpanCase{"ctx_not_an_object", line_with_ctx("\"[1, 2]\""), false},
        SpanCase{"ctx_not_a_string", line_with_ctx("{\"trace_id\": \"x\"}"), false},
        SpanCase{"ctx_no_json", line_with_ctx("\"not json\""), false},
        SpanCase{"no_ctx", "{\"id\":\"oxa_1\",\"prompt\":\"p\"}", false},
        SpanCase{"no_json_object", "[1,2,3]", false},
        SpanCase{"cut_short", line_with_ctx(ctx_text(ids_members())).substr(0, 30), false},
        SpanCase{"empty", "", false},
        SpanCase{"only_trace_id", line_with_ctx(ctx_text("\\\"trace_id\\\": \\\"" + std::string(trace) + "\\\"")),
                 false},
        SpanCase{"trace_id_too_short", line_with_ctx(ctx_text(ids_members(std::string(trace).substr(1)))), false},
        SpanCase{"span_id_not_hex", line_with_ctx(ctx_text(ids_members(trace, "00f067aa0ba902bz"))), false},
        // A line feed in an id would forge a line of the text report.
        SpanCase{"id_with_a_line_feed", line_with_ctx(ctx_text(ids_members(trace, "00f067aa\\\\n0ba9020"))), false},
        SpanCase{"id_a_number", line_with_ctx(ctx_text("\\\"trace_id\\\": 1, \\\"span_id\\\": 2")), false}),
    [](const testing::TestParamInfo<SpanCase>& info) { return std::string(info.param.name); });

TEST(SpanIdReading, ReaderIsReusedAcrossLines) {
  SpanIdReader reader;
  EXPECT_FALSE(reader.read("{}").has_value());
  const auto ids = reader.read(line_with_ctx(ctx_text(ids_members())));
  ASSERT_TRUE(ids.has_value());
  EXPECT_EQ(ids->span_id, span);
}

}  // namespace
}  // namespace oxa::verify
