#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/blake3_hash.hpp"

namespace oxa::verify {

// The chain step next_chain_root(previous, content) tried for many previous
// roots at once, bit for bit the same hash.
//
// The step hashes 144 bytes, Hash("<previous hex>")Hash("<content hex>"),
// as three blocks of one BLAKE3 chunk. The first block holds only text of the
// previous root, so its chaining value is computed once per root
// (RootPrefix); the second block differs between roots only in its first
// two words, and the third holds only text of the content hash. Trying a
// record against a root then costs two compressions, done for
// step_lanes roots side by side in vector registers.
inline constexpr std::size_t step_lanes = 16;

struct RootPrefix {
  std::array<std::uint32_t, 8> chaining_value;  // after the first block
  std::uint32_t word0;                          // the second block's first two words
  std::uint32_t word1;
};

RootPrefix root_prefix(const Hash32& root);

// What the step needs of one record: its content hash's text in the second
// and third blocks, and the merkle_root to find.
struct StepTarget {
  std::array<std::uint32_t, 14> block2_words;  // words 2..15 of the second block
  std::array<std::uint32_t, 4> block3_words;   // words 0..3 of the third block (16 bytes)
  std::array<std::uint32_t, 8> root_words;     // the merkle_root, as little-endian words
};

StepTarget step_target(const Hash32& content_hash, const Hash32& merkle_root);

// Of `count` (at most step_lanes) prefixes, which extend to the target's
// merkle_root: bit i set for prefixes[i].
std::uint32_t matching_prefixes(const RootPrefix* const* prefixes, std::size_t count, const StepTarget& target);

// The same with a given instruction set; every kernel gives the same mask.
using MatchPrefixes = std::uint32_t (*)(const RootPrefix* const* prefixes, std::size_t count,
                                        const StepTarget& target);
struct ChainStepKernel {
  const char* instruction_set;
  MatchPrefixes run;
};
// The kernels this processor can run, fastest first; the search uses the first.
std::span<const ChainStepKernel> chain_step_kernels();

}  // namespace oxa::verify
