#include "common/uuid_text.hpp"

#include <span>

#include "common/hex_text.hpp"
#include "common/internal_fault.hpp"
#include "common/os_error.hpp"
#include "common/random_source.hpp"

namespace oxa {

void append_uuid_v4_text(std::string& out, std::array<std::uint8_t, uuid_bytes> bytes) {
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);
  const std::span<const std::uint8_t> all(bytes);
  out.reserve(out.size() + uuid_text_chars);
  append_hex(out, all.subspan(0, 4));
  out += '-';
  append_hex(out, all.subspan(4, 2));
  out += '-';
  append_hex(out, all.subspan(6, 2));
  out += '-';
  append_hex(out, all.subspan(8, 2));
  out += '-';
  append_hex(out, all.subspan(10, 6));
}

void append_random_uuid_v4(std::string& out) {
  std::array<std::uint8_t, uuid_bytes> bytes;
  if (const int error = draw_identifier_random(bytes); error != 0) {
    throw InternalFault("could not retrieve random bytes for uuid: " + describe_os_error(error));
  }
  append_uuid_v4_text(out, bytes);
}

}  // namespace oxa
