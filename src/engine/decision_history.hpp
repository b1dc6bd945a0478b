#pragma once

#include <cstddef>
#include <vector>

#include "engine/semantic_vector.hpp"

namespace oxa {

inline constexpr std::size_t history_limit = 500;

// The bounded history of semantic vectors, newest first, and its
// exponentially weighted mean. A fixed ring of history_limit vectors is
// allocated once at construction; pushing onto a full history overwrites the
// oldest entry.
class DecisionHistory {
 public:
  DecisionHistory();

  // Inserts v as entry 0; drops the oldest entry when the limit is exceeded.
  void push_front(const SemanticVector& v);
  // Empties the history, keeping its storage.
  void clear() noexcept;
  std::size_t size() const { return size_; }
  // Entry j, j = 0 being the newest; j < size().
  const SemanticVector& entry(std::size_t j) const;

  // mean[i] = sum over j of entry(j)[i] * w(j), accumulated in single
  // precision from 0 for j = 0, 1, ..., m - 1, each product rounded before it
  // is added, where m = size() and w(j) = p(j) / N with p(j) = 0.98^j and
  // N = (1 - p(m)) / (1 - 0.98). Requires a non-empty history.
  SemanticVector weighted_mean();
  // The weighted mean the history would have after push_front(v), bit for
  // bit, leaving the history as it is.
  SemanticVector weighted_mean_after(const SemanticVector& v);

 private:
  void update_weights();

  // Cache-line aligned, so that no vector load of an entry straddles two
  // lines; the slots lie back to back, sizeof(SemanticVector) bytes apart.
  struct alignas(64) Slot {
    SemanticVector values;
  };
  static_assert(sizeof(Slot) == sizeof(SemanticVector));

  std::vector<Slot> slots_;  // history_limit vectors
  std::size_t head_ = 0;     // slot of entry 0
  std::size_t size_ = 0;
  // w(j) for j < weights_size_; they depend only on the history length.
  std::vector<float> weights_;
  std::size_t weights_size_ = 0;
  // The same for one entry more, for weighted_mean_after.
  std::vector<float> next_weights_;
  std::size_t next_weights_size_ = 0;
};

// 0.98 raised to the integer power j in single precision by repeated
// squaring (r = 1, q = 0.98; per bit of j from the lowest: r *= q when set,
// then q *= q), each product rounded. For j <= history_limit.
float decay_power(std::size_t j);

}  // namespace oxa
