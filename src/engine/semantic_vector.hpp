#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace oxa {

inline constexpr std::size_t semantic_dimensions = 64;
using SemanticVector = std::array<float, semantic_dimensions>;

// The vector describing one decision, derived from the combined UTF-8 byte
// length of its prompt and output alone: component i is
// sinf(fmodf(i * 0.37 + L, 6.28)) * 0.6 + 0.4, every step in single
// precision and rounded on its own. Components lie in [-0.2, 1.0].
SemanticVector semantic_vector(std::uint64_t combined_length);

// fmodf(x, 6.28f) for x >= 0: the exact remainder, bit for bit what the C
// library returns, computed in a few double operations where that is exact.
float period_remainder(float x);

}  // namespace oxa
