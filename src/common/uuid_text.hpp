#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace oxa {

inline constexpr std::size_t uuid_bytes = 16;
inline constexpr std::size_t uuid_text_chars = 36;

// Sets the version 4 and RFC 4122 variant bits and appends the 36-character
// lower-case 8-4-4-4-12 text.
void append_uuid_v4_text(std::string& out, std::array<std::uint8_t, uuid_bytes> bytes);

// A fresh version 4 UUID from the system random source (through the
// per-thread batch of draw_identifier_random), appended to `out`. A failing
// random source is an internal fault.
void append_random_uuid_v4(std::string& out);

}  // namespace oxa
