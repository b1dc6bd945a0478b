#pragma once

#include <cstddef>
#include <span>

namespace oxa {

// mean[i] += entry_j[i] * weights[j] for j = 0..count-1 in that order, for
// each of the semantic_dimensions components, the entries being count
// vectors of semantic_dimensions floats one after the other from `entries`
// on. Every product is rounded, then added: the result is bit for bit that
// of the plain scalar loop, whichever kernel runs it.
using WeightedAccumulate = void (*)(float* mean, const unsigned char* entries, const float* weights,
                                    std::size_t count);

struct WeightedAccumulateKernel {
  const char* instruction_set;
  WeightedAccumulate run;
};

// The kernels this processor can run, fastest first; the history uses the first.
std::span<const WeightedAccumulateKernel> weighted_accumulate_kernels();

}  // namespace oxa
