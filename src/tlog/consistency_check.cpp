#include "tlog/consistency_check.hpp"

#include <bit>

namespace oxa::tlog {

using notary::node_hash;
using notary::TreeHash;

bool verify_consistency(std::uint64_t old_size, const TreeHash& old_root, std::uint64_t new_size,
                        const TreeHash& new_root, std::span<const TreeHash> proof) {
  if (old_size > new_size) return false;
  if (old_size == new_size) return proof.empty() && old_root == new_root;
  if (old_size == 0) return proof.empty();
  if (proof.empty()) return false;

  // The walk from the old tree's last leaf up to the root: `first` follows the
  // old tree's root and `second` the new one's. When the old tree is a
  // perfect subtree its root is the walk's starting node and is not sent.
  std::size_t next = 0;
  TreeHash start;
  if (std::has_single_bit(old_size)) {
    start = old_root;
  } else {
    start = proof[0];
    next = 1;
  }
  std::uint64_t fn = old_size - 1;
  std::uint64_t sn = new_size - 1;
  while (fn & 1) {
    fn >>= 1;
    sn >>= 1;
  }
  TreeHash first = start;
  TreeHash second = start;
  for (; next < proof.size(); ++next) {
    const TreeHash& c = proof[next];
    if (sn == 0) return false;
    if ((fn & 1) || fn == sn) {
      first = node_hash(c, first);
      second = node_hash(c, second);
      while (!(fn & 1) && fn != 0) {
        fn >>= 1;
        sn >>= 1;
      }
    } else {
      second = node_hash(second, c);
    }
    fn >>= 1;
    sn >>= 1;
  }
  return sn == 0 && first == old_root && second == new_root;
}

}  // namespace oxa::tlog
