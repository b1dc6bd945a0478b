#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tlog/merkle_tree.hpp"

// What the notary reads back from its tile directory: the check that tiles
// hold a checkpoint's tree, and consistency proofs between any two sizes.
namespace oxa::tlog {

// Whether the tiles of a tree of `size` leaves give `frontier`.
bool tiles_give_frontier(const std::string& directory, std::uint64_t size, const std::vector<TreeHash>& frontier);

// The consistency proof from size `old_size` to `new_size`, both at most the
// size of the directory's published checkpoint, whose root the tiles must
// give. Throws UnusableInputError naming what is missing or wrong.
std::vector<TreeHash> consistency_from_tiles(const std::string& directory, std::uint64_t old_size,
                                             std::uint64_t new_size);

}  // namespace oxa::tlog
