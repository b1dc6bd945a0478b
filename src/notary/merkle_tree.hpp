#pragma once

// The notary's tree is the transparency layer's RFC 6962 tree.
#include "tlog/merkle_tree.hpp"

namespace oxa::notary {

using tlog::empty_tree_root;
using tlog::inclusion_ranges;
using tlog::leaf_hash;
using tlog::LeafRange;
using tlog::node_hash;
using tlog::root_from_frontier;
using tlog::tree_hash_bytes;
using tlog::TreeBuilder;
using tlog::TreeHash;
using tlog::verify_inclusion;

}  // namespace oxa::notary
