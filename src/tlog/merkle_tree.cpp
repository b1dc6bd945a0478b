#include "tlog/merkle_tree.hpp"

// The low-level SHA-256 interface: no provider lookup per call, which matters
// for a 65-byte node hash, and it keeps the static link down to SHA-256 and
// the CPU detection (which picks the SHA instructions where the CPU has them).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <algorithm>
#include <bit>

namespace oxa::tlog {

static_assert(tree_hash_bytes == SHA256_DIGEST_LENGTH);

namespace {
constexpr std::uint8_t leaf_prefix = 0x00;
constexpr std::uint8_t node_prefix = 0x01;

// The largest power of two strictly below n (n >= 2): where RFC 6962 splits.
std::uint64_t split_point(std::uint64_t n) { return std::bit_floor(n - 1); }

void inclusion_of(std::uint64_t index, std::uint64_t begin, std::uint64_t end, std::vector<LeafRange>& out) {
  if (end - begin <= 1) return;
  const std::uint64_t middle = begin + split_point(end - begin);
  if (index < middle) {
    inclusion_of(index, begin, middle, out);
    out.push_back({middle, end});
  } else {
    inclusion_of(index, middle, end, out);
    out.push_back({begin, middle});
  }
}

// SUBPROOF(m, D[begin:end], whole) of RFC 6962, with m counted from `begin`.
void consistency_of(std::uint64_t m, std::uint64_t begin, std::uint64_t end, bool whole,
                    std::vector<LeafRange>& out) {
  const std::uint64_t n = end - begin;
  if (m == n) {
    if (!whole) out.push_back({begin, end});
    return;
  }
  const std::uint64_t k = split_point(n);
  if (m <= k) {
    consistency_of(m, begin, begin + k, whole, out);
    out.push_back({begin + k, end});
  } else {
    consistency_of(m - k, begin + k, end, false, out);
    out.push_back({begin, begin + k});
  }
}
}  // namespace

TreeHash sha256(std::span<const std::uint8_t> data) {
  // Not the one-shot SHA256(), which in OpenSSL 3 goes through the provider
  // machinery (and would link all of it in).
  SHA256_CTX context;
  SHA256_Init(&context);
  SHA256_Update(&context, data.data(), data.size());
  TreeHash out;
  SHA256_Final(out.data(), &context);
  return out;
}

TreeHash empty_tree_root() { return sha256({}); }

TreeHash leaf_hash(std::string_view data) {
  SHA256_CTX context;
  SHA256_Init(&context);
  SHA256_Update(&context, &leaf_prefix, 1);
  SHA256_Update(&context, data.data(), data.size());
  TreeHash out;
  SHA256_Final(out.data(), &context);
  return out;
}

struct LeafHasher::State {
  SHA256_CTX context;
};

LeafHasher::LeafHasher() : state_(std::make_unique<State>()) { start(); }
LeafHasher::~LeafHasher() = default;

void LeafHasher::start() {
  SHA256_Init(&state_->context);
  SHA256_Update(&state_->context, &leaf_prefix, 1);
}

void LeafHasher::add(std::string_view data) { SHA256_Update(&state_->context, data.data(), data.size()); }

TreeHash LeafHasher::finish() {
  TreeHash out;
  SHA256_Final(out.data(), &state_->context);
  return out;
}

TreeHash node_hash(const TreeHash& left, const TreeHash& right) {
  // One buffer and one call: the prefix and two hashes fit in two blocks.
  std::array<std::uint8_t, 1 + 2 * tree_hash_bytes> input;
  input[0] = node_prefix;
  std::copy(left.begin(), left.end(), input.begin() + 1);
  std::copy(right.begin(), right.end(), input.begin() + 1 + tree_hash_bytes);
  return sha256(input);
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
  if (sink_) sink_->leaf(leaf);
  int height = 0;
  for (std::uint64_t s = size_; s & 1; s >>= 1) {
    carry = node_hash(frontier_.back(), carry);
    frontier_.pop_back();
    if (++height % tile_height == 0 && sink_) sink_->subtree(height, carry);
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
  if (index < size) inclusion_of(index, 0, size, out);
  return out;
}

std::vector<LeafRange> consistency_ranges(std::uint64_t old_size, std::uint64_t new_size) {
  std::vector<LeafRange> out;
  if (old_size > 0 && old_size < new_size) consistency_of(old_size, 0, new_size, true, out);
  return out;
}

std::vector<Subtree> range_subtrees(const LeafRange& range) {
  // A proof range starts at a multiple of a power of two at least as large as
  // the range, so taking the largest aligned perfect subtree that fits, left to
  // right, gives the subtrees of its RFC 6962 shape.
  std::vector<Subtree> out;
  std::uint64_t at = range.begin;
  while (at < range.end) {
    int height = std::bit_width(range.end - at) - 1;
    if (at != 0) height = std::min(height, std::countr_zero(at));
    out.push_back({height, at >> height});
    at += std::uint64_t{1} << height;
  }
  return out;
}

TreeHash range_hash(const LeafRange& range, const SubtreeHashReader& read) {
  const std::vector<Subtree> subtrees = range_subtrees(range);
  if (subtrees.empty()) return empty_tree_root();
  TreeHash hash = read(subtrees.back());
  for (std::size_t i = subtrees.size() - 1; i-- > 0;) hash = node_hash(read(subtrees[i]), hash);
  return hash;
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

bool verify_consistency(std::uint64_t old_size, const TreeHash& old_root, std::uint64_t new_size,
                        const TreeHash& new_root, std::span<const TreeHash> proof) {
  if (old_size > new_size) return false;
  if (old_size == new_size) return proof.empty() && old_root == new_root;
  if (old_size == 0) return proof.empty() && old_root == empty_tree_root();
  if (proof.empty()) return false;
  // An old tree that is a perfect subtree of the new one is its own first
  // proof element, which the proof leaves out.
  std::size_t next = 0;
  TreeHash first = std::has_single_bit(old_size) ? old_root : proof[next++];
  std::uint64_t fn = old_size - 1;
  std::uint64_t sn = new_size - 1;
  while (fn & 1) {
    fn >>= 1;
    sn >>= 1;
  }
  TreeHash fr = first;
  TreeHash sr = first;
  for (; next < proof.size(); ++next) {
    const TreeHash& c = proof[next];
    if (sn == 0) return false;
    if ((fn & 1) || fn == sn) {
      fr = node_hash(c, fr);
      sr = node_hash(c, sr);
      if (!(fn & 1)) {
        while (fn != 0 && !(fn & 1)) {
          fn >>= 1;
          sn >>= 1;
        }
      }
    } else {
      sr = node_hash(sr, c);
    }
    fn >>= 1;
    sn >>= 1;
  }
  return sn == 0 && fr == old_root && sr == new_root;
}

}  // namespace oxa::tlog
