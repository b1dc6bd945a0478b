#include "engine/weighted_accumulate.hpp"

#include <array>
#include <cstring>

#include "engine/semantic_vector.hpp"

namespace oxa {

namespace {

// The components are independent, so they are computed side by side, one
// vector register of Lanes per group of components; every lane does a rounded
// multiply then a rounded add, exactly as the scalar loop would (the build
// forbids contracting them into fused multiply-adds).
template <typename Lanes, std::size_t components_per_pass>
__attribute__((always_inline)) inline void accumulate_weighted_with(float* __restrict mean,
                                                                    const unsigned char* __restrict entries,
                                                                    const float* __restrict weights,
                                                                    std::size_t count) {
  constexpr std::size_t lanes = sizeof(Lanes) / sizeof(float);
  constexpr std::size_t groups = components_per_pass / lanes;
  static_assert(semantic_dimensions % components_per_pass == 0 && components_per_pass % lanes == 0);
  // Components in passes small enough that the accumulators stay in registers.
  for (std::size_t first = 0; first < semantic_dimensions; first += components_per_pass) {
    Lanes acc[groups];
    std::memcpy(acc, mean + first, sizeof acc);
    const unsigned char* e = entries + first * sizeof(float);
    for (std::size_t j = 0; j < count; ++j, e += sizeof(SemanticVector)) {
      const float w = weights[j];
      for (std::size_t k = 0; k < groups; ++k) {
        Lanes x;
        std::memcpy(&x, e + k * sizeof(Lanes), sizeof x);
        const Lanes product = x * w;
        acc[k] = acc[k] + product;
      }
    }
    std::memcpy(mean + first, acc, sizeof acc);
  }
}

typedef float Lanes8 __attribute__((vector_size(32)));
typedef float Lanes4 __attribute__((vector_size(16)));

// Baseline x86-64 (SSE2) or whatever the target's 16-byte vectors are.
void accumulate_weighted_baseline(float* mean, const unsigned char* entries, const float* weights,
                                  std::size_t count) {
  accumulate_weighted_with<Lanes4, 32>(mean, entries, weights, count);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void accumulate_weighted_avx2(float* mean, const unsigned char* entries,
                                                              const float* weights, std::size_t count) {
  accumulate_weighted_with<Lanes8, 64>(mean, entries, weights, count);
}
#endif

struct KernelList {
  std::array<WeightedAccumulateKernel, 2> kernels;
  std::size_t size = 0;

  void add(const char* instruction_set, WeightedAccumulate run) { kernels[size++] = {instruction_set, run}; }
};

KernelList supported_kernels() {
  KernelList list;
#if defined(__x86_64__)
  // Needed when this runs before the library's own constructors; it also
  // checks that the operating system saves the wider registers. A 16-lane
  // AVX-512 kernel measured no faster than AVX2 (a full history is 128 KB,
  // read from the second-level cache at its bandwidth) and can lower the
  // clock of some processors for the signing that follows, so there is none.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) list.add("avx2", accumulate_weighted_avx2);
#endif
  list.add("baseline", accumulate_weighted_baseline);
  return list;
}

}  // namespace

std::span<const WeightedAccumulateKernel> weighted_accumulate_kernels() {
  static const KernelList list = supported_kernels();
  return {list.kernels.data(), list.size};
}

}  // namespace oxa
