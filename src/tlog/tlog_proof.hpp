#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tlog/merkle_tree.hpp"

// The transparency-log proof text of one entry:
//   c2sp.org/tlog-proof@v1
//   extra <base64 of the entry's own bytes>    (optional)
//   index <zero-based index>
//   <base64 hash>...                           (the inclusion path)
//   <empty line>
//   <the signed checkpoint, verbatim>
namespace oxa::tlog {

inline constexpr std::string_view tlog_proof_header = "c2sp.org/tlog-proof@v1";

struct TlogProof {
  bool has_extra = false;
  std::string extra;  // the decoded extra bytes: here, the record's line
  std::uint64_t index = 0;
  std::vector<TreeHash> path;
  std::string checkpoint;  // the signed note
};

std::string format_tlog_proof(const TlogProof& proof);
// Returns an explanation of the fault, or "" with `out` filled in.
std::string parse_tlog_proof(std::string_view text, TlogProof& out);

}  // namespace oxa::tlog
