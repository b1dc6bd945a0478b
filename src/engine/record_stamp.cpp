#include "engine/record_stamp.hpp"

#include <cerrno>

#include "common/internal_fault.hpp"
#include "common/os_error.hpp"
#include "common/uuid_text.hpp"

namespace oxa {

namespace {
std::timespec read_clock(clockid_t clock, const char* what) {
  std::timespec now{};
  if (::clock_gettime(clock, &now) != 0) {
    throw InternalFault(std::string("could not read the ") + what + ": " + describe_os_error(errno));
  }
  return now;
}
}  // namespace

std::uint64_t read_monotonic_nanos() {
  const std::timespec now = read_clock(CLOCK_MONOTONIC_RAW, "monotonic clock");
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

std::string read_timestamp_text() {
  const std::timespec now = read_clock(CLOCK_REALTIME, "wall clock");
  if (now.tv_sec < 0) {
    throw InternalFault("system time before Unix epoch: " + std::to_string(now.tv_sec) + " s");
  }
  std::string text;
  append_timestamp_text(text, now);
  return text;
}

namespace {

struct CivilDate {
  std::int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// The proleptic Gregorian date of a day count since 1970-01-01, by whole
// 400-year eras (146097 days each); no time-zone machinery or locks involved.
CivilDate civil_from_days(std::int64_t days) {
  days += 719468;  // shift the epoch to 0000-03-01
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;  // March is 0
  const unsigned day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const unsigned month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  const std::int64_t year = static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

// Appends `value` as exactly `width` decimal digits, zero-padded.
void append_digits(std::string& out, std::uint64_t value, int width) {
  char digits[20];
  for (int i = width - 1; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out.append(digits, static_cast<std::size_t>(width));
}

}  // namespace

void append_timestamp_text(std::string& out, const std::timespec& wall_time) {
  constexpr std::int64_t seconds_per_day = 86400;
  const std::int64_t seconds = wall_time.tv_sec;
  std::int64_t days = seconds / seconds_per_day;
  std::int64_t second_of_day = seconds % seconds_per_day;
  if (second_of_day < 0) {
    second_of_day += seconds_per_day;
    --days;
  }
  const CivilDate date = civil_from_days(days);
  const auto clock = static_cast<std::uint64_t>(second_of_day);

  int year_width = 4;
  for (std::int64_t rest = date.year; rest >= 10000; rest /= 10) ++year_width;
  append_digits(out, static_cast<std::uint64_t>(date.year), year_width);
  out += '-';
  append_digits(out, date.month, 2);
  out += '-';
  append_digits(out, date.day, 2);
  out += 'T';
  append_digits(out, clock / 3600, 2);
  out += ':';
  append_digits(out, clock / 60 % 60, 2);
  out += ':';
  append_digits(out, clock % 60, 2);

  // Automatic sub-second precision: the fewest of 0, 3, 6 or 9 digits that
  // hold the nanoseconds exactly.
  const auto nanos = static_cast<std::uint64_t>(wall_time.tv_nsec);
  if (nanos == 0) {
  } else if (nanos % 1'000'000 == 0) {
    out += '.';
    append_digits(out, nanos / 1'000'000, 3);
  } else if (nanos % 1'000 == 0) {
    out += '.';
    append_digits(out, nanos / 1'000, 6);
  } else {
    out += '.';
    append_digits(out, nanos, 9);
  }
  out += "+00:00";
}

std::string new_record_id() {
  std::string id = "oxa_";
  append_random_uuid_v4(id);
  return id;
}

}  // namespace oxa
