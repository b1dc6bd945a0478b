#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// The Merkle tree hash of RFC 6962 over SHA-256: the tree the notary builds
// over the complete lines of a log, one leaf per line.
namespace oxa::notary {

inline constexpr std::size_t tree_hash_bytes = 32;  // crypto_hash_sha256_BYTES
using TreeHash = std::array<std::uint8_t, tree_hash_bytes>;

// SHA-256 of the empty string: the root of a tree of size 0.
TreeHash empty_tree_root();
// SHA-256(0x00 || data).
TreeHash leaf_hash(std::string_view data);
// SHA-256(0x01 || left || right).
TreeHash node_hash(const TreeHash& left, const TreeHash& right);

// The left frontier (compact range) of a tree of size n: the roots of its
// perfect subtrees, largest first, one for each set bit of n. It is all that
// is needed to append more leaves and to compute the root.
class TreeBuilder {
 public:
  TreeBuilder() = default;
  // Resumes from a frontier saved at `size`. Returns false, leaving the
  // builder empty, when the number of hashes does not match the set bits.
  bool resume(std::uint64_t size, std::vector<TreeHash> frontier);

  void append(const TreeHash& leaf);
  void append_data(std::string_view data) { append(leaf_hash(data)); }

  std::uint64_t size() const { return size_; }
  const std::vector<TreeHash>& frontier() const { return frontier_; }
  TreeHash root() const;

 private:
  std::uint64_t size_ = 0;
  std::vector<TreeHash> frontier_;
};

// The root of a tree from its frontier (largest subtree first).
TreeHash root_from_frontier(std::span<const TreeHash> frontier);

// The leaf ranges [begin, end) whose tree hashes make the inclusion path of
// leaf `index` in a tree of `size` leaves, from the leaf's sibling up to the
// root's child. Each range's hash is the RFC 6962 hash of those leaves alone.
struct LeafRange {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};
std::vector<LeafRange> inclusion_ranges(std::uint64_t index, std::uint64_t size);

// Checks an inclusion path of `leaf` at `index` against `root` of a tree of
// `size` leaves.
bool verify_inclusion(const TreeHash& leaf, std::uint64_t index, std::uint64_t size,
                      std::span<const TreeHash> path, const TreeHash& root);

}  // namespace oxa::notary
