#include "engine/record_sealing.hpp"

#include "common/hex_text.hpp"

#include <array>
#include <cmath>
#include <cstring>

#include "common/shortest_decimal.hpp"

namespace oxa {

void append_canonical_float(std::string& out, double x) {
  // Coherence and reputation are finite and within [0, 1]; other values get
  // a sign and Python's spellings rather than a wrong digit string.
  if (std::isnan(x)) {
    out.append("nan");
    return;
  }
  if (std::signbit(x)) out.push_back('-');
  if (std::isinf(x)) {
    out.append("inf");
    return;
  }
  if (x == 0.0) {
    out.append("0.0");
    return;
  }
  const ShortestDecimal d = shortest_decimal(x);
  // |x| < 1e-4 exactly when its shortest digits have an exponent below -4.
  if (d.exponent < -4) {
    append_scientific_decimal(out, d);
  } else {
    append_plain_decimal(out, d);
  }
}

Hash32 genesis_root() { return blake3_hash(std::string_view("genesis")); }

Hash32 content_hash(const SealInput& input) {
  std::string floats;
  floats.reserve(64);
  append_canonical_float(floats, input.coherence);
  append_canonical_float(floats, input.reputation);

  Blake3Hasher hasher;
  hasher.update(input.provenance);
  hasher.update(input.place);
  hasher.update(input.purpose);
  hasher.update(input.prompt);
  hasher.update(floats);
  return hasher.finalize();
}

namespace {

constexpr std::size_t chain_group_bytes = 72;  // Hash(" + 64 hex digits + ")

void write_chain_group(char* out, const Hash32& value) {
  std::memcpy(out, "Hash(\"", 6);
  char* p = write_hex(out + 6, value);
  std::memcpy(p, "\")", 2);
}

}  // namespace

Hash32 next_chain_root(const Hash32& previous_root, const Hash32& content_hash) {
  std::array<char, 2 * chain_group_bytes> input;
  write_chain_group(input.data(), previous_root);
  write_chain_group(input.data() + chain_group_bytes, content_hash);
  return blake3_hash(std::string_view(input.data(), input.size()));
}

Seal seal_record(const SealInput& input, const SigningKey& key, Hash32& chain_root) {
  Seal seal;
  seal.content_hash = content_hash(input);
  seal.signature = key.sign(seal.content_hash);
  chain_root = next_chain_root(chain_root, seal.content_hash);
  return seal;
}

}  // namespace oxa
