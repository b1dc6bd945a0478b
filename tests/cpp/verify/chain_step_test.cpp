#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "common/blake3_hash.hpp"
#include "engine/record_sealing.hpp"
#include "verify/chain_step.hpp"

namespace oxa::verify {
namespace {

Hash32 random_hash(std::mt19937_64& random) {
  Hash32 h;
  for (auto& b : h) b = static_cast<std::uint8_t>(random());
  return h;
}

// The step tried through kept prefixes finds exactly the roots that the
// engine's own chain step extends to the record's merkle_root, in every lane,
// for every number of candidates and with every kernel this processor runs.
TEST(ChainStep, FindsExactlyTheRootsTheEngineStepExtends) {
  std::mt19937_64 random(17);
  for (const ChainStepKernel& kernel : chain_step_kernels())
  for (std::size_t count = 0; count <= step_lanes; ++count) {
    for (int round = 0; round < 20; ++round) {
      std::vector<Hash32> roots;
      std::vector<RootPrefix> prefixes;
      for (std::size_t i = 0; i < count; ++i) {
        roots.push_back(random_hash(random));
        prefixes.push_back(root_prefix(roots.back()));
      }
      std::vector<const RootPrefix*> pointers;
      for (const RootPrefix& p : prefixes) pointers.push_back(&p);
      const Hash32 content = random_hash(random);
      // The record extends one chosen root (or none, on even rounds when possible).
      std::uint32_t expected = 0;
      Hash32 merkle_root = random_hash(random);
      if (count > 0 && round % 2 == 1) {
        const std::size_t chosen = random() % count;
        merkle_root = next_chain_root(roots[chosen], content);
        for (std::size_t i = 0; i < count; ++i) {
          if (next_chain_root(roots[i], content) == merkle_root) expected |= 1u << i;
        }
      }
      const StepTarget target = step_target(content, merkle_root);
      EXPECT_EQ(kernel.run(pointers.data(), count, target), expected)
          << kernel.instruction_set << ", " << count << " candidates, round " << round;
      EXPECT_EQ(matching_prefixes(pointers.data(), count, target), expected);
    }
  }
}

// Several lanes holding the same root all match; genesis works as any root.
TEST(ChainStep, EqualRootsMatchInEveryLane) {
  const Hash32 genesis = genesis_root();
  const RootPrefix prefix = root_prefix(genesis);
  std::vector<const RootPrefix*> pointers(5, &prefix);
  Hash32 content{};
  content.fill(0xab);
  EXPECT_EQ(matching_prefixes(pointers.data(), 5, step_target(content, next_chain_root(genesis, content))), 0x1fu);
}

}  // namespace
}  // namespace oxa::verify
