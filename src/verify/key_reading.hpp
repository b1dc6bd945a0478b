#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "store/signing_key.hpp"

namespace oxa::verify {

// The public key of the 32-byte seed in an existing key file. Read-only: the
// file is opened O_RDONLY and non-blocking (a FIFO in its place cannot hang
// the reader), at most 33 bytes are read, and nothing is ever created. The
// seed is wiped once the public key is derived; it is never shown, not even
// in an error message. Throws InputError naming the file.
PublicKey read_public_key_from_key_file(const std::string& key_path);

// 64 hexadecimal digits (either case) as 32 bytes; throws UsageError naming `what`.
std::array<std::uint8_t, 32> parse_hex32(std::string_view text, std::string_view what);

}  // namespace oxa::verify
