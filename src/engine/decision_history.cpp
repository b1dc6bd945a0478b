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

void DecisionHistory::clear() noexcept {
  head_ = 0;
  size_ = 0;
}

namespace {

void compute_weights(std::vector<float>& weights, std::size_t size) {
  const auto& p = decay_powers();
  const float n = (1.0f - p[size]) / decay_complement;
  for (std::size_t j = 0; j < size; ++j) weights[j] = p[j] / n;
}

WeightedAccumulate accumulate_kernel() {
  // Chosen once, for this processor.
  static const WeightedAccumulate accumulate_weighted = weighted_accumulate_kernels().front().run;
  return accumulate_weighted;
}

}  // namespace

void DecisionHistory::update_weights() {
  compute_weights(weights_, size_);
  weights_size_ = size_;
}

SemanticVector DecisionHistory::weighted_mean() {
  const WeightedAccumulate accumulate_weighted = accumulate_kernel();
  if (weights_size_ != size_) update_weights();
  SemanticVector mean{};
  // Entries 0..m-1 occupy the slots from head_ onwards, wrapping to slot 0.
  const std::size_t first = std::min(size_, history_limit - head_);
  const auto* ring = reinterpret_cast<const unsigned char*>(slots_.data());
  accumulate_weighted(mean.data(), ring + head_ * sizeof(Slot), weights_.data(), first);
  accumulate_weighted(mean.data(), ring, weights_.data() + first, size_ - first);
  return mean;
}

SemanticVector DecisionHistory::weighted_mean_after(const SemanticVector& v) {
  const WeightedAccumulate accumulate_weighted = accumulate_kernel();
  const std::size_t size = size_ < history_limit ? size_ + 1 : history_limit;
  if (next_weights_size_ != size) {
    next_weights_.resize(history_limit);
    compute_weights(next_weights_, size);
    next_weights_size_ = size;
  }
  // The same sums in the same order as push_front then weighted_mean: v as
  // entry 0, then the current entries 0..size-2 from head_ on, wrapping.
  SemanticVector mean{};
  accumulate_weighted(mean.data(), reinterpret_cast<const unsigned char*>(v.data()), next_weights_.data(), 1);
  const std::size_t older = size - 1;
  const std::size_t first = std::min(older, history_limit - head_);
  const auto* ring = reinterpret_cast<const unsigned char*>(slots_.data());
  accumulate_weighted(mean.data(), ring + head_ * sizeof(Slot), next_weights_.data() + 1, first);
  accumulate_weighted(mean.data(), ring, next_weights_.data() + 1 + first, older - first);
  return mean;
}

}  // namespace oxa
