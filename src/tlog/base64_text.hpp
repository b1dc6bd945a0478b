#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Standard base64 (RFC 4648 section 4) with padding, as the note, checkpoint
// and proof formats use it.
namespace oxa::tlog {

std::string base64_encode(std::span<const std::uint8_t> bytes);
inline std::string base64_encode(std::string_view bytes) {
  return base64_encode({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

// Strict decoding: the canonical text only (padding present, no whitespace,
// unused bits zero), so that one value has one text. Empty on any fault.
std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text);

}  // namespace oxa::tlog
