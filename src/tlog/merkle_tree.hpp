#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

// The Merkle tree hash of RFC 6962 over SHA-256, with its inclusion and
// consistency proofs: the tree a notary builds over the complete lines of a
// log, one leaf per line. SHA-256 comes from OpenSSL's libcrypto, which uses
// the CPU's SHA instructions where it has them.
namespace oxa::tlog {

inline constexpr std::size_t tree_hash_bytes = 32;
using TreeHash = std::array<std::uint8_t, tree_hash_bytes>;

// SHA-256 of `data`.
TreeHash sha256(std::span<const std::uint8_t> data);
// SHA-256 of the empty string: the root of a tree of size 0.
TreeHash empty_tree_root();
// SHA-256(0x00 || data).
TreeHash leaf_hash(std::string_view data);
// SHA-256(0x00 || data) over data given in parts: the leaf of a line too long
// to hold, hashed while it streams past. Reusable after finish().
class LeafHasher {
 public:
  LeafHasher();
  ~LeafHasher();
  LeafHasher(const LeafHasher&) = delete;
  LeafHasher& operator=(const LeafHasher&) = delete;

  // Forgets what was added: the next leaf starts here.
  void start();
  void add(std::string_view data);
  // The leaf of what was added since start(); start() again before reuse.
  TreeHash finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// SHA-256(0x01 || left || right).
TreeHash node_hash(const TreeHash& left, const TreeHash& right);

// The left frontier (compact range) of a tree of size n: the roots of its
// perfect subtrees, largest first, one for each set bit of n. It is all that
// is needed to append more leaves and to compute the root.
// The height of a tile: a tile holds 2^8 hashes of one level of the tree.
inline constexpr int tile_height = 8;

// Told by a TreeBuilder of every leaf appended and of every perfect subtree
// whose height is a multiple of tile_height when it is completed: what tiles hold.
class SubtreeSink {
 public:
  virtual ~SubtreeSink() = default;
  virtual void leaf(const TreeHash& hash) = 0;
  virtual void subtree(int height, const TreeHash& hash) = 0;
};

class TreeBuilder {
 public:
  TreeBuilder() = default;
  // Reports appended leaves and completed subtrees to `sink` (or no one).
  void set_sink(SubtreeSink* sink) { sink_ = sink; }
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
  SubtreeSink* sink_ = nullptr;
};

// The root of a tree from its frontier (largest subtree first).
TreeHash root_from_frontier(std::span<const TreeHash> frontier);

// A run of leaves [begin, end) whose RFC 6962 hash (of those leaves alone) is
// one element of a proof.
struct LeafRange {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

// The ranges of the inclusion path of leaf `index` in a tree of `size` leaves,
// from the leaf's sibling up to the root's child. Empty when index >= size.
std::vector<LeafRange> inclusion_ranges(std::uint64_t index, std::uint64_t size);

// The ranges of the consistency proof from size `old_size` to `new_size`, in
// proof order (RFC 6962 section 2.1.2). Empty when old_size is 0 or not below
// new_size.
std::vector<LeafRange> consistency_ranges(std::uint64_t old_size, std::uint64_t new_size);

// The perfect subtrees that make up a range of a proof, left to right, each as
// (height, index): the subtree of 2^height leaves starting at leaf
// index << height. The range's hash folds them from the right.
struct Subtree {
  int height = 0;
  std::uint64_t index = 0;
};
std::vector<Subtree> range_subtrees(const LeafRange& range);

// The hash of a proof range from the hashes of perfect subtrees, as a store of
// the tree's inner hashes (tiles) gives them.
using SubtreeHashReader = std::function<TreeHash(const Subtree&)>;
TreeHash range_hash(const LeafRange& range, const SubtreeHashReader& read);

// Checks an inclusion path of `leaf` at `index` against `root` of a tree of
// `size` leaves.
bool verify_inclusion(const TreeHash& leaf, std::uint64_t index, std::uint64_t size,
                      std::span<const TreeHash> path, const TreeHash& root);

// Checks a consistency proof between a tree of `old_size` with `old_root` and
// one of `new_size` with `new_root` (RFC 9162 section 2.1.4.2). Equal sizes
// need an empty proof and equal roots; an old size of 0 needs an empty proof
// and the empty tree's root. False as well for old_size > new_size.
bool verify_consistency(std::uint64_t old_size, const TreeHash& old_root, std::uint64_t new_size,
                        const TreeHash& new_root, std::span<const TreeHash> proof);

}  // namespace oxa::tlog
