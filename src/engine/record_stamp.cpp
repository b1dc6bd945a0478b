#include "engine/record_stamp.hpp"

#include <cerrno>
#include <cstdio>

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

void append_timestamp_text(std::string& out, const std::timespec& wall_time) {
  std::tm utc{};
  const std::time_t seconds = wall_time.tv_sec;
  ::gmtime_r(&seconds, &utc);
  char buffer[64];
  int length = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", utc.tm_year + 1900,
                             utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  const long nanos = wall_time.tv_nsec;
  if (nanos == 0) {
  } else if (nanos % 1'000'000 == 0) {
    length += std::snprintf(buffer + length, sizeof buffer - length, ".%03ld", nanos / 1'000'000);
  } else if (nanos % 1'000 == 0) {
    length += std::snprintf(buffer + length, sizeof buffer - length, ".%06ld", nanos / 1'000);
  } else {
    length += std::snprintf(buffer + length, sizeof buffer - length, ".%09ld", nanos);
  }
  out.append(buffer, static_cast<std::size_t>(length));
  out += "+00:00";
}

std::string new_record_id() {
  std::string id = "oxa_";
  append_random_uuid_v4(id);
  return id;
}

}  // namespace oxa
