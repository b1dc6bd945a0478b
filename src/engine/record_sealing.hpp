#pragma once

#include <string>
#include <string_view>

#include "common/blake3_hash.hpp"
#include "store/signing_key.hpp"

namespace oxa {

// The float text hashed into a record: the shortest round-trip digits, in
// scientific form ("2.5e-7") when x is non-zero and below 1e-4, otherwise in
// plain decimal with at least one digit after the point ("0.51", "1.0",
// "0.0001", "0.0"). Not the JSON writer's rule.
void append_canonical_float(std::string& out, double x);

// The six values a record's content hash covers.
struct SealInput {
  std::string_view provenance;
  std::string_view place;
  std::string_view purpose;
  std::string_view prompt;
  double coherence;
  double reputation;  // after this record's update
};

// BLAKE3 of "genesis": the chain root of a new engine.
Hash32 genesis_root();

// BLAKE3 of provenance, place, purpose, prompt and the canonical float texts
// of coherence and reputation, concatenated with nothing in between.
Hash32 content_hash(const SealInput& input);

// BLAKE3 of Hash("<previous root hex>")Hash("<content hash hex>"), 144 bytes.
Hash32 next_chain_root(const Hash32& previous_root, const Hash32& content_hash);

struct Seal {
  Hash32 content_hash;
  Signature signature;  // Ed25519 of the 32 raw content hash bytes
};

// Hashes and signs the record and advances chain_root to the next root.
Seal seal_record(const SealInput& input, const SigningKey& key, Hash32& chain_root);

}  // namespace oxa
