#include "engine/decision_history.hpp"

#include <algorithm>
#include <array>

#include "engine/weighted_accumulate.hpp"

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
  // Chosen once, for this processor.
  static const WeightedAccumulate accumulate_weighted = weighted_accumulate_kernels().front().run;
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
