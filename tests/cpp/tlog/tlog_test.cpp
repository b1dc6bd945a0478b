#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "tlog/merkle_tree.hpp"
#include "tlog/tiles.hpp"

namespace oxa::tlog {
namespace {

std::vector<TreeHash> leaves_of(std::uint64_t n) {
  std::vector<TreeHash> out;
  for (std::uint64_t i = 0; i < n; ++i) out.push_back(leaf_hash("leaf " + std::to_string(i)));
  return out;
}

// The RFC 6962 hash of leaves [begin, end) by the recursive definition.
TreeHash naive(const std::vector<TreeHash>& leaves, std::uint64_t begin, std::uint64_t end) {
  if (end - begin == 1) return leaves[begin];
  std::uint64_t k = 1;
  while (2 * k < end - begin) k *= 2;
  return node_hash(naive(leaves, begin, begin + k), naive(leaves, begin + k, end));
}

TreeHash root_of(const std::vector<TreeHash>& leaves, std::uint64_t n) {
  return n == 0 ? empty_tree_root() : naive(leaves, 0, n);
}

std::string hex(const TreeHash& hash) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t byte : hash) {
    out += digits[byte >> 4];
    out += digits[byte & 0xf];
  }
  return out;
}

// A leaf hashed in parts, however they are cut, is the leaf of the whole
// (SHA-256 of 0x00 and the bytes, values from Python's hashlib); the hasher
// starts afresh after each leaf.
TEST(LeafHasher, PartsGiveTheLeafOfTheWhole) {
  const std::string abc = [] {
    std::string text;
    for (int i = 0; i < 100000; ++i) text += "abc";
    return text;
  }();
  const std::string abc_leaf = "4e30c9b1d5ad7c4dbc8b8f35bf1ae9183f30d38bdf4261d1d8e928529eaf7916";
  LeafHasher hasher;
  EXPECT_EQ(hex(hasher.finish()), "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d");
  for (const std::size_t part : {std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{65536}, abc.size()}) {
    hasher.start();
    for (std::size_t at = 0; at < abc.size(); at += part) hasher.add(std::string_view(abc).substr(at, part));
    EXPECT_EQ(hex(hasher.finish()), abc_leaf) << "parts of " << part;
  }
  EXPECT_EQ(hex(leaf_hash(abc)), abc_leaf);
}

TEST(ConsistencyProof, EveryPairUpTo40VerifiesAndAnyChangeFails) {
  const std::vector<TreeHash> leaves = leaves_of(40);
  for (std::uint64_t n = 0; n <= 40; ++n) {
    for (std::uint64_t m = 0; m <= n; ++m) {
      std::vector<TreeHash> proof;
      for (const LeafRange& range : consistency_ranges(m, n)) proof.push_back(naive(leaves, range.begin, range.end));
      const TreeHash old_root = root_of(leaves, m);
      const TreeHash new_root = root_of(leaves, n);
      ASSERT_TRUE(verify_consistency(m, old_root, n, new_root, proof)) << m << " " << n;
      for (std::size_t i = 0; i < proof.size(); ++i) {
        std::vector<TreeHash> bad = proof;
        bad[i][5] ^= 1;
        EXPECT_FALSE(verify_consistency(m, old_root, n, new_root, bad)) << m << " " << n << " " << i;
      }
      if (m > 0 && m < n) {
        EXPECT_FALSE(verify_consistency(m, new_root, n, new_root, proof));
        std::vector<TreeHash> longer = proof;
        longer.push_back(old_root);
        EXPECT_FALSE(verify_consistency(m, old_root, n, new_root, longer));
        EXPECT_FALSE(verify_consistency(n, new_root, m, old_root, proof));
      }
    }
  }
}

TEST(RangeSubtrees, ProofRangesHashLikeTheirLeaves) {
  const std::vector<TreeHash> leaves = leaves_of(300);
  std::vector<std::vector<TreeHash>> levels = {leaves};
  while (levels.back().size() > 1) {
    std::vector<TreeHash> up;
    for (std::size_t i = 0; i + 1 < levels.back().size(); i += 2)
      up.push_back(node_hash(levels.back()[i], levels.back()[i + 1]));
    levels.push_back(up);
  }
  const auto read = [&](const Subtree& s) { return levels.at(static_cast<std::size_t>(s.height)).at(s.index); };
  for (std::uint64_t n : {1, 2, 3, 255, 256, 257, 300}) {
    for (std::uint64_t m = 1; m < n; m += 7)
      for (const LeafRange& r : consistency_ranges(m, n)) EXPECT_EQ(range_hash(r, read), naive(leaves, r.begin, r.end));
    for (std::uint64_t i = 0; i < n; i += 5)
      for (const LeafRange& r : inclusion_ranges(i, n)) EXPECT_EQ(range_hash(r, read), naive(leaves, r.begin, r.end));
  }
}

TEST(TilePath, ThreeDigitElementsWithThePrefix) {
  EXPECT_EQ(tile_path(0, 0, 256), "tile/0/000");
  EXPECT_EQ(tile_path(0, 273, 112), "tile/0/273.p/112");
  EXPECT_EQ(tile_path(1, 1000, 256), "tile/1/x001/000");
  EXPECT_EQ(tile_path(2, 1234067, 1), "tile/2/x001/x234/067.p/1");
}

TEST(Tiles, WrittenAsTheTreeGrowsAndReadBack) {
  const auto directory = std::filesystem::temp_directory_path() / ("tlog_test_" + std::to_string(::getpid()));
  std::filesystem::remove_all(directory);
  const std::vector<TreeHash> leaves = leaves_of(70000);
  {
    TileWriter writer(directory.string());
    TreeBuilder tree;
    tree.set_sink(&writer);
    for (std::uint64_t n = 0; n < leaves.size(); ++n) {
      tree.append(leaves[n]);
      if (n + 1 == 300 || n + 1 == 65536 || n + 1 == 70000) {
        writer.flush();
        TileReader reader(directory.string(), n + 1);
        EXPECT_EQ(reader.root(), tree.root());
        EXPECT_EQ(reader.frontier(), tree.frontier());
      }
    }
  }
  TileReader reader(directory.string(), 300);
  EXPECT_EQ(reader.root(), naive(leaves, 0, 300));
  TileWriter resumed(directory.string());
  EXPECT_TRUE(resumed.resume(70000));
  EXPECT_FALSE(resumed.resume(70001));
  std::filesystem::remove_all(directory);
}

// A flush writes only the tiles that changed: a partial tile of a level the
// tree did not grow at keeps its file (the same inode: not written again under
// a temporary name and renamed over), and each flush leaves every tile of the
// tree at its size readable.
TEST(Tiles, AFlushRewritesOnlyThePartialTilesThatChanged) {
  const auto directory = std::filesystem::temp_directory_path() / ("tlog_flush_" + std::to_string(::getpid()));
  std::filesystem::remove_all(directory);
  const auto inode = [&](const std::string& path) {
    struct stat status{};
    return ::stat((directory / path).c_str(), &status) == 0 ? status.st_ino : ino_t{0};
  };
  const std::vector<TreeHash> leaves = leaves_of(600);
  TileWriter writer(directory.string());
  TreeBuilder tree;
  tree.set_sink(&writer);
  std::uint64_t n = 0;
  const auto grow_to = [&](std::uint64_t size) {
    for (; n < size; ++n) tree.append(leaves[n]);
    writer.flush();
    TileReader reader(directory.string(), size);
    EXPECT_EQ(reader.root(), naive(leaves, 0, size)) << size;
  };
  grow_to(300);
  const ino_t level1 = inode("tile/1/000.p/1");
  const ino_t level0 = inode("tile/0/001.p/44");
  ASSERT_NE(level1, 0u);
  ASSERT_NE(level0, 0u);
  grow_to(300);  // nothing new: nothing written
  EXPECT_EQ(inode("tile/0/001.p/44"), level0);
  grow_to(310);
  EXPECT_EQ(inode("tile/1/000.p/1"), level1);
  EXPECT_EQ(inode("tile/0/001.p/44"), level0);
  EXPECT_NE(inode("tile/0/001.p/54"), 0u);
  grow_to(600);  // a second level-1 hash: that partial is new
  EXPECT_NE(inode("tile/1/000.p/2"), 0u);
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace oxa::tlog
