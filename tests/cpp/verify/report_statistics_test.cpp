#include <gtest/gtest.h>

#include <string>

#include "verify/report_statistics.hpp"

namespace oxa::verify {
namespace {

struct TimeCase {
  const char* name;
  const char* text;
  std::int64_t seconds;  // from Python's datetime
};

class TimeConversion : public testing::TestWithParam<TimeCase> {};

TEST_P(TimeConversion, ReadsAndWritesBack) {
  const TimeCase& c = GetParam();
  EXPECT_EQ(timestamp_seconds(c.text), c.seconds);
  EXPECT_EQ(time_text(c.seconds), std::string(c.text).substr(0, 19) + "+00:00");
}

INSTANTIATE_TEST_SUITE_P(
    Stamps, TimeConversion,
    testing::Values(TimeCase{"epoch", "1970-01-01T00:00:00+00:00", 0},
                    TimeCase{"second_before_epoch", "1969-12-31T23:59:59+00:00", -1},
                    TimeCase{"leap_day_with_fraction", "2024-02-29T12:34:56.789+00:00", 1709210096},
                    TimeCase{"after_a_400_year_leap_day", "2000-03-01T00:00:00+00:00", 951868800},
                    TimeCase{"after_a_century_without_one", "2100-03-01T00:00:00.000000001+00:00", 4107542400},
                    TimeCase{"first_year", "0001-01-01T00:00:00+00:00", -62135596800},
                    TimeCase{"last_year", "9999-12-31T23:59:59+00:00", 253402300799}),
    [](const testing::TestParamInfo<TimeCase>& info) { return std::string(info.param.name); });

struct TextCase {
  const char* name;
  std::string in;
  std::string out;
};

class Utf8Repair : public testing::TestWithParam<TextCase> {};

TEST_P(Utf8Repair, KeepsWellFormedTextAndReplacesTheRest) { EXPECT_EQ(valid_utf8_text(GetParam().in), GetParam().out); }

const std::string replacement = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Texts, Utf8Repair,
    testing::Values(TextCase{"ascii", "{\"a\":1}", "{\"a\":1}"},
                    TextCase{"two_three_four_bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
                    TextCase{"stray_continuation", "a\x80z", "a" + replacement + "z"},
                    TextCase{"overlong_slash", "\xC0\xAF", replacement + replacement},
                    TextCase{"overlong_three_bytes", "\xE0\x80\xAF", replacement + replacement + replacement},
                    TextCase{"surrogate", "\xED\xA0\x80", replacement + replacement + replacement},
                    TextCase{"beyond_unicode", "\xF4\x90\x80\x80", replacement + replacement + replacement + replacement},
                    TextCase{"cut_at_the_end", "ok\xE2\x82", "ok" + replacement + replacement},
                    TextCase{"invalid_lead_bytes", "\xFF\xFE", replacement + replacement}),
    [](const testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace oxa::verify
