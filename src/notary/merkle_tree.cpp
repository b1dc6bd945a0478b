#include "notary/merkle_tree.hpp"

#include <sodium.h>

#include <algorithm>
#include <bit>

namespace oxa::notary {

static_assert(tree_hash_bytes == crypto_hash_sha256_BYTES);

namespace {
constexpr std::uint8_t leaf_prefix = 0x00;
constexpr std::uint8_t node_prefix = 0x01;

// The largest power of two strictly below n (n >= 2): where RFC 6962 splits.
std::uint64_t split_point(std::uint64_t n) { return std::bit_floor(n - 1); }

void ranges_of(std::uint64_t index, std::uint64_t begin, std::uint64_t end,
               std::vector<LeafRange>& out) {
  if (end - begin <= 1) return;
  const std::uint64_t middle = begin + split_point(end - begin);
  if (index < middle) {
    ranges_of(index, begin, middle, out);
    out.push_back({middle, end});
  } else {
    ranges_of(index, middle, end, out);
    out.push_back({begin, middle});
  }
}
}  // namespace

TreeHash empty_tree_root() {
  TreeHash out;
  crypto_hash_sha256(out.data(), nullptr, 0);
  return out;
}

TreeHash leaf_hash(std::string_view data) {
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  crypto_hash_sha256_update(&state, &leaf_prefix, 1);
  crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(data.data()), data.size());
  TreeHash out;
  crypto_hash_sha256_final(&state, out.data());
  return out;
}

TreeHash node_hash(const TreeHash& left, const TreeHash& right) {
  // One buffer and one call: two 32-byte hashes and the prefix fit in two
  // SHA-256 blocks, and a single call avoids the incremental state's copies.
  std::array<std::uint8_t, 1 + 2 * tree_hash_bytes> input;
  input[0] = node_prefix;
  std::copy(left.begin(), left.end(), input.begin() + 1);
  std::copy(right.begin(), right.end(), input.begin() + 1 + tree_hash_bytes);
  TreeHash out;
  crypto_hash_sha256(out.data(), input.data(), input.size());
  return out;
}

bool TreeBuilder::resume(std::uint64_t size, std::vector<TreeHash> frontier) {
  if (frontier.size() != static_cast<std::size_t>(std::popcount(size))) {
    size_ = 0;
    frontier_.clear();
    return false;
  }
  size_ = size;
  frontier_ = std::move(frontier);
  return true;
}

void TreeBuilder::append(const TreeHash& leaf) {
  // Each trailing set bit of the old size is a subtree of the new leaf's
  // height that now has a right sibling: merge them, smallest first.
  TreeHash carry = leaf;
  for (std::uint64_t s = size_; s & 1; s >>= 1) {
    carry = node_hash(frontier_.back(), carry);
    frontier_.pop_back();
  }
  frontier_.push_back(carry);
  ++size_;
}

TreeHash TreeBuilder::root() const { return root_from_frontier(frontier_); }

TreeHash root_from_frontier(std::span<const TreeHash> frontier) {
  if (frontier.empty()) return empty_tree_root();
  TreeHash root = frontier.back();
  for (std::size_t i = frontier.size() - 1; i-- > 0;) root = node_hash(frontier[i], root);
  return root;
}

std::vector<LeafRange> inclusion_ranges(std::uint64_t index, std::uint64_t size) {
  std::vector<LeafRange> out;
  if (index < size) ranges_of(index, 0, size, out);
  return out;
}

bool verify_inclusion(const TreeHash& leaf, std::uint64_t index, std::uint64_t size,
                      std::span<const TreeHash> path, const TreeHash& root) {
  if (index >= size) return false;
  std::uint64_t fn = index;
  std::uint64_t sn = size - 1;
  TreeHash r = leaf;
  for (const TreeHash& p : path) {
    if (sn == 0) return false;
    if ((fn & 1) || fn == sn) {
      r = node_hash(p, r);
      // A right edge with no sibling at these levels: climb to where it has one.
      if (!(fn & 1)) {
        while (fn != 0 && !(fn & 1)) {
          fn >>= 1;
          sn >>= 1;
        }
      }
    } else {
      r = node_hash(r, p);
    }
    fn >>= 1;
    sn >>= 1;
  }
  return sn == 0 && r == root;
}

}  // namespace oxa::notary
