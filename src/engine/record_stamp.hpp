#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace oxa {

// Nanoseconds of CLOCK_MONOTONIC_RAW; an unreadable clock is an internal fault.
std::uint64_t read_monotonic_nanos();

// The wall clock (CLOCK_REALTIME) as RFC 3339 UTC text; an unreadable clock or
// one before 1970 is an internal fault.
std::string read_timestamp_text();

// YYYY-MM-DDTHH:MM:SS, then ".mmm", ".uuuuuu" or ".nnnnnnnnn" by the finest
// non-zero sub-second digits (nothing for a whole second), then "+00:00".
void append_timestamp_text(std::string& out, const std::timespec& wall_time);

// "oxa_" and a fresh version 4 UUID.
std::string new_record_id();

}  // namespace oxa
