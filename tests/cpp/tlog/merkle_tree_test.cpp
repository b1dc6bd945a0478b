#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/hex_text.hpp"
#include "tlog/merkle_tree.hpp"

namespace oxa::tlog {
namespace {

// The leaves and roots of the RFC 6962 reference test data for sizes 0 to 8.
const std::vector<std::string> reference_leaves = {
    std::string(), std::string("\x00", 1), "\x10", "\x20\x21", "\x30\x31", "\x40\x41\x42\x43",
    "\x50\x51\x52\x53\x54\x55\x56\x57", "\x60\x61\x62\x63\x64\x65\x66\x67\x68\x69\x6a\x6b\x6c\x6d\x6e\x6f"};
const char* const reference_roots[] = {
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
    "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d",
    "fac54203e7cc696cf0dfcb42c92a1d9dbaf70ad9e621f4bd8d98662f00e3c125",
    "aeb6bcfe274b70a14fb067a5e5578264db0fa9b51af5e0ba159158f329e06e77",
    "d37ee418976dd95753c1c73862b9398fa2a2cf9b4ff0fdfe8b30cd95209614b7",
    "4e3bbb1f7b478dcfe71fb631631519a3bca12c9aefca1612bfce4c13a86264d4",
    "76e67dadbcdf1e10e1b74ddc608abd2f98dfb16fbce75277b5232a127f2087ef",
    "ddb89be403809e325750d3d263cd78929c2942b7942a34b77e122c9594a74c8c",
    "5dc9da79a70659a9ad559cb701ded9a2ab9d823aad2f4960cfe370eff4604328",
};

// The tree hash of leaves [begin, end) by the recursive definition, as a
// second computation beside the frontier's.
TreeHash naive_hash(const std::vector<std::string>& leaves, std::uint64_t begin, std::uint64_t end) {
  if (end == begin) return empty_tree_root();
  if (end - begin == 1) return leaf_hash(leaves[begin]);
  std::uint64_t k = 1;
  while (2 * k < end - begin) k *= 2;
  return node_hash(naive_hash(leaves, begin, begin + k), naive_hash(leaves, begin + k, end));
}

std::vector<std::string> numbered_leaves(int count) {
  std::vector<std::string> leaves;
  for (int i = 0; i < count; ++i) leaves.push_back("line " + std::to_string(i));
  return leaves;
}

TEST(MerkleTree, ReferenceRootsForSizesZeroToEight) {
  TreeBuilder builder;
  EXPECT_EQ(hex_text(builder.root()), reference_roots[0]);
  for (std::size_t n = 1; n <= 8; ++n) {
    builder.append_data(reference_leaves[n - 1]);
    EXPECT_EQ(hex_text(builder.root()), reference_roots[n]) << "size " << n;
    EXPECT_EQ(builder.frontier().size(), static_cast<std::size_t>(std::popcount(n)));
  }
}

TEST(MerkleTree, ResumedFrontierContinuesTheSameTree) {
  const auto leaves = numbered_leaves(70);
  for (std::uint64_t cut : {0u, 1u, 5u, 32u, 63u, 64u}) {
    TreeBuilder first;
    for (std::uint64_t i = 0; i < cut; ++i) first.append_data(leaves[i]);
    TreeBuilder resumed;
    ASSERT_TRUE(resumed.resume(cut, first.frontier()));
    for (std::uint64_t i = cut; i < leaves.size(); ++i) resumed.append_data(leaves[i]);
    EXPECT_EQ(resumed.root(), naive_hash(leaves, 0, leaves.size())) << "cut at " << cut;
  }
  TreeBuilder wrong;
  EXPECT_FALSE(wrong.resume(3, std::vector<TreeHash>(1)));
  EXPECT_EQ(wrong.size(), 0u);
}

TEST(MerkleTree, InclusionPathsVerifyForEveryLeafAndSize) {
  const auto leaves = numbered_leaves(20);
  for (std::uint64_t size = 1; size <= leaves.size(); ++size) {
    const TreeHash root = naive_hash(leaves, 0, size);
    for (std::uint64_t index = 0; index < size; ++index) {
      std::vector<TreeHash> path;
      for (const LeafRange& range : inclusion_ranges(index, size))
        path.push_back(naive_hash(leaves, range.begin, range.end));
      const TreeHash leaf = leaf_hash(leaves[index]);
      ASSERT_TRUE(verify_inclusion(leaf, index, size, path, root)) << index << " of " << size;
      // The same path must not prove another leaf or another index. (The
      // size is not bound by a path alone: the signed checkpoint binds it.)
      EXPECT_FALSE(verify_inclusion(leaf_hash("other"), index, size, path, root));
      if (size > 1) {
        EXPECT_FALSE(verify_inclusion(leaf, (index + 1) % size, size, path, root));
      }
      if (!path.empty()) {
        auto damaged = path;
        damaged.back()[0] ^= 1;
        EXPECT_FALSE(verify_inclusion(leaf, index, size, damaged, root));
        damaged = path;
        damaged.pop_back();
        EXPECT_FALSE(verify_inclusion(leaf, index, size, damaged, root));
      }
    }
  }
  EXPECT_FALSE(verify_inclusion(leaf_hash("x"), 0, 0, {}, empty_tree_root()));
}

}  // namespace
}  // namespace oxa::tlog
