#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace oxa {

inline constexpr char hex_digits[] = "0123456789abcdef";

// Lower-case hexadecimal, two digits per byte, high nibble first, byte 0
// first, written at `out`; returns the end of what was written.
inline char* write_hex(char* out, std::span<const std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) {
    *out++ = hex_digits[b >> 4];
    *out++ = hex_digits[b & 0x0f];
  }
  return out;
}

inline void append_hex(std::string& out, std::span<const std::uint8_t> bytes) {
  const std::size_t start = out.size();
  out.resize(start + 2 * bytes.size());
  write_hex(out.data() + start, bytes);
}

inline std::string hex_text(std::span<const std::uint8_t> bytes) {
  std::string out;
  append_hex(out, bytes);
  return out;
}

}  // namespace oxa
