#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <random>
#include <string>

#include "engine/record_stamp.hpp"

namespace oxa {
namespace {

std::string timestamp(std::int64_t seconds, long nanos) {
  std::string out;
  append_timestamp_text(out, std::timespec{static_cast<std::time_t>(seconds), nanos});
  return out;
}

TEST(Timestamp, FractionDigitsFollowTheNanoseconds) {
  struct Case {
    std::int64_t seconds;
    long nanos;
    const char* text;
  };
  const Case cases[] = {
      {0, 0, "1970-01-01T00:00:00+00:00"},
      {1796579521, 0, "2026-12-06T17:52:01+00:00"},
      {1796579521, 250'000'000, "2026-12-06T17:52:01.250+00:00"},
      {1796579521, 123'456'000, "2026-12-06T17:52:01.123456+00:00"},
      {1796579521, 123'456'789, "2026-12-06T17:52:01.123456789+00:00"},
      {1796579521, 1, "2026-12-06T17:52:01.000000001+00:00"},
      {1796579521, 1'000, "2026-12-06T17:52:01.000001+00:00"},
      {951782400, 0, "2000-02-29T00:00:00+00:00"},
      {946684799, 999'000'000, "1999-12-31T23:59:59.999+00:00"},
      {4107542400, 0, "2100-03-01T00:00:00+00:00"},
      {253402300800, 0, "10000-01-01T00:00:00+00:00"},
  };
  for (const Case& c : cases) EXPECT_EQ(timestamp(c.seconds, c.nanos), c.text) << c.seconds;
}

TEST(Timestamp, CalendarAgreesWithTheCLibrary) {
  std::mt19937_64 random(7);
  std::uniform_int_distribution<std::int64_t> seconds(0, 253402300799);  // up to 9999-12-31
  for (int i = 0; i < 20000; ++i) {
    const std::time_t t = static_cast<std::time_t>(seconds(random));
    std::tm utc{};
    gmtime_r(&t, &utc);
    char expected[64];
    std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%S+00:00", &utc);
    ASSERT_EQ(timestamp(t, 0), expected) << t;
  }
}

TEST(RecordId, PrefixAndUuid) {
  const std::string id = new_record_id();
  ASSERT_EQ(id.size(), 40u);
  EXPECT_EQ(id.substr(0, 4), "oxa_");
  EXPECT_EQ(id[4 + 14], '4');
  EXPECT_NE(new_record_id(), id);
}

}  // namespace
}  // namespace oxa
