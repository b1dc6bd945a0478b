#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace oxa {

// Lower-case hexadecimal, two digits per byte, high nibble first, byte 0 first.
inline void append_hex(std::string& out, std::span<const std::uint8_t> bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  const std::size_t start = out.size();
  out.resize(start + 2 * bytes.size());
  char* p = out.data() + start;
  for (std::uint8_t b : bytes) {
    *p++ = digits[b >> 4];
    *p++ = digits[b & 0x0f];
  }
}

inline std::string hex_text(std::span<const std::uint8_t> bytes) {
  std::string out;
  append_hex(out, bytes);
  return out;
}

}  // namespace oxa
