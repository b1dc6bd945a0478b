#include "engine/decision_history.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace oxa {

namespace {

constexpr float decay = 0.98f;
// 1 - 0.98 in single precision (0.019999981), not 0.02: the weights then sum
// to 1 up to rounding.
constexpr float decay_complement = 1.0f - decay;

float decay_power_by_squaring(std::size_t j) {
  float r = 1.0f;
  float q = decay;
  for (; j != 0; j >>= 1) {
    if (j & 1) r = r * q;
    q = q * q;
  }
  return r;
}

const std::array<float, history_limit + 1>& decay_powers() {
  static const std::array<float, history_limit + 1> table = [] {
    std::array<float, history_limit + 1> t;
    for (std::size_t j = 0; j <= history_limit; ++j) t[j] = decay_power_by_squaring(j);
    return t;
  }();
  return table;
}

// mean[i] += entry_j[i] * weights[j] for j = 0..count-1 in that order, the
// entries being count vectors of semantic_dimensions floats one after the
// other from `entries` on. The components are independent, so they are
// computed side by side;
// every lane does a rounded multiply then a rounded add, exactly as the
// scalar loop would, so the result is the same bit for bit on every ISA.
// One version per instruction set, chosen at load time.
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

__attribute__((target("default")))
void accumulate_weighted(float* mean, const unsigned char* entries, const float* weights, std::size_t count) {
  accumulate_weighted_with<Lanes4, 32>(mean, entries, weights, count);
}

__attribute__((target("avx2")))
void accumulate_weighted(float* mean, const unsigned char* entries, const float* weights, std::size_t count) {
  accumulate_weighted_with<Lanes8, 64>(mean, entries, weights, count);
}

}  // namespace

float decay_power(std::size_t j) { return decay_powers()[j]; }

DecisionHistory::DecisionHistory() : slots_(history_limit), weights_(history_limit) {}

void DecisionHistory::push_front(const SemanticVector& v) {
  head_ = head_ == 0 ? history_limit - 1 : head_ - 1;
  slots_[head_].values = v;  // on a full ring this is the slot of the oldest entry
  if (size_ < history_limit) ++size_;
}

const SemanticVector& DecisionHistory::entry(std::size_t j) const {
  const std::size_t slot = head_ + j;
  return slots_[slot < history_limit ? slot : slot - history_limit].values;
}

void DecisionHistory::update_weights() {
  const auto& p = decay_powers();
  const float n = (1.0f - p[size_]) / decay_complement;
  for (std::size_t j = 0; j < size_; ++j) weights_[j] = p[j] / n;
  weights_size_ = size_;
}

SemanticVector DecisionHistory::weighted_mean() {
  if (weights_size_ != size_) update_weights();
  SemanticVector mean{};
  // Entries 0..m-1 occupy the slots from head_ onwards, wrapping to slot 0.
  const std::size_t first = std::min(size_, history_limit - head_);
  const auto* ring = reinterpret_cast<const unsigned char*>(slots_.data());
  accumulate_weighted(mean.data(), ring + head_ * sizeof(Slot), weights_.data(), first);
  accumulate_weighted(mean.data(), ring, weights_.data() + first, size_ - first);
  return mean;
}

}  // namespace oxa
