#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace oxa {

inline constexpr std::size_t hash_bytes = 32;
using Hash32 = std::array<std::uint8_t, hash_bytes>;

// Plain unkeyed BLAKE3 with the default 32-byte output.
Hash32 blake3_hash(std::span<const std::uint8_t> data);
Hash32 blake3_hash(std::string_view text);

// Incremental form, for hashing a text made of several pieces without
// building it in memory first.
class Blake3Hasher {
 public:
  Blake3Hasher();
  void update(std::string_view piece);
  void update(std::span<const std::uint8_t> piece);
  Hash32 finalize() const;

 private:
  // Storage for blake3_hasher, kept opaque so that blake3.h stays out of headers.
  alignas(16) unsigned char state_[1912];
};

}  // namespace oxa
