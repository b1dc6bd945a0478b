#pragma once

#include <cstdint>
#include <span>

#include "notary/merkle_tree.hpp"

// Consistency proofs between two sizes of one RFC 6962 tree.
namespace oxa::tlog {

// Whether `proof` shows that the tree of `old_size` leaves with `old_root` is
// a prefix of the tree of `new_size` leaves with `new_root`. A proof from
// size 0 is empty, and so is one between equal sizes, whose roots must then
// be equal.
bool verify_consistency(std::uint64_t old_size, const notary::TreeHash& old_root, std::uint64_t new_size,
                        const notary::TreeHash& new_root, std::span<const notary::TreeHash> proof);

}  // namespace oxa::tlog
