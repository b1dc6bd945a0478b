#pragma once

#include <string>
#include <string_view>

#include "store/signing_key.hpp"

namespace oxa::notary {

// Checks one record's line on its own: its content hash recomputed from the
// members it covers, and its Ed25519 signature under `public_key`. Returns
// "" or {kind, message} of the first fault ("malformed", "hash-mismatch",
// "bad-signature").
struct RecordFault {
  std::string kind;
  std::string message;
  bool ok() const { return kind.empty(); }
};
RecordFault check_record_line(std::string_view line, const PublicKey& public_key);

}  // namespace oxa::notary
