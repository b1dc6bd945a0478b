#include "common/blake3_hash.hpp"

#include <blake3.h>

#include <new>

namespace oxa {

static_assert(sizeof(blake3_hasher) <= sizeof(Blake3Hasher), "Blake3Hasher storage too small");

namespace {
blake3_hasher* as_hasher(unsigned char* state) { return reinterpret_cast<blake3_hasher*>(state); }
const blake3_hasher* as_hasher(const unsigned char* state) {
  return reinterpret_cast<const blake3_hasher*>(state);
}
}  // namespace

Blake3Hasher::Blake3Hasher() { blake3_hasher_init(new (state_) blake3_hasher); }

void Blake3Hasher::update(std::string_view piece) { blake3_hasher_update(as_hasher(state_), piece.data(), piece.size()); }

void Blake3Hasher::update(std::span<const std::uint8_t> piece) {
  blake3_hasher_update(as_hasher(state_), piece.data(), piece.size());
}

Hash32 Blake3Hasher::finalize() const {
  Hash32 out;
  blake3_hasher_finalize(as_hasher(state_), out.data(), out.size());
  return out;
}

Hash32 blake3_hash(std::span<const std::uint8_t> data) {
  Blake3Hasher hasher;
  hasher.update(data);
  return hasher.finalize();
}

Hash32 blake3_hash(std::string_view text) {
  Blake3Hasher hasher;
  hasher.update(text);
  return hasher.finalize();
}

}  // namespace oxa
