#include "engine/semantic_vector.hpp"

#include <cmath>
#include <cstdint>

namespace oxa {

namespace {

// The constants are single-precision values; 6.28 is deliberately not 2 pi.
constexpr float step = 0.37f;
constexpr float period = 6.28f;
constexpr float amplitude = 0.6f;
constexpr float offset = 0.4f;

// Below this x the quotient x / period is under 2^29, so quotient * period
// (29 + 24 significant bits) is exact in double precision.
constexpr float exact_quotient_limit = 2147483648.0f;  // 2^31

// The exact remainder of x by period for 0 <= x < exact_quotient_limit.
// The C library's fmodf loops over the exponent difference and costs more
// than the sine; the vector needs 64 of them per decision. The remainder is
// exact, so any exact computation of it gives the same bits:
// q = trunc(x / period) in double is floor(x / period) or one more (never
// less: rounding is monotonic and integers this small are exact), x - q *
// period is then exact (both terms are exact and the difference is a
// multiple of the smaller last-place unit below 8, so it fits), and a
// negative result is corrected by adding period once, again exactly. The
// result is a float remainder and so converts back without rounding.
inline float exact_period_remainder(float x) {
  const double xd = x;
  const double yd = period;
  const double q = static_cast<double>(static_cast<std::int32_t>(xd / yd));  // truncates
  const double r = xd - q * yd;
  // Always an addition (of period or of 0), so that the loop below has no
  // branch; r + 0.0 is r, and a zero remainder stays +0.0.
  return static_cast<float>(r + (r < 0.0 ? yd : 0.0));
}

// a[i] = fmodf(i * step + s, period) for all i, when every x stays below
// exact_quotient_limit; the loop has no calls, so it runs side by side.
__attribute__((target_clones("avx2", "default")))
void exact_angles(float s, float* __restrict a) {
  for (int i = 0; i < static_cast<int>(semantic_dimensions); ++i) {
    const float x = static_cast<float>(i) * step + s;
    a[i] = exact_period_remainder(x);
  }
}

}  // namespace

float period_remainder(float x) {
  if (!(x >= 0.0f && x < exact_quotient_limit)) return ::fmodf(x, period);
  return exact_period_remainder(x);
}

SemanticVector semantic_vector(std::uint64_t combined_length) {
  const float s = static_cast<float>(combined_length);  // round to nearest
  // Each product is rounded before the sum (the build forbids contraction
  // into fused multiply-adds). x is never negative, so a lies in [0, 6.28).
  std::array<float, semantic_dimensions> a;
  constexpr float largest_step = static_cast<float>(semantic_dimensions - 1) * step;
  if (s < exact_quotient_limit - 2 * largest_step) {
    exact_angles(s, a.data());
  } else {
    for (std::size_t i = 0; i < semantic_dimensions; ++i) a[i] = ::fmodf(static_cast<float>(i) * step + s, period);
  }
  SemanticVector v;
  for (std::size_t i = 0; i < semantic_dimensions; ++i) v[i] = ::sinf(a[i]) * amplitude + offset;
  return v;
}

}  // namespace oxa
