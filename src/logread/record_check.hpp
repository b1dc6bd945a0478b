#pragma once

#include <string>
#include <string_view>

#include "store/signing_key.hpp"

namespace oxa::logread {

inline constexpr std::string_view kind_record_malformed = "malformed";
inline constexpr std::string_view kind_record_hash_mismatch = "hash-mismatch";
inline constexpr std::string_view kind_record_bad_signature = "bad-signature";

struct RecordFault {
  std::string_view kind;
  std::string message;
  bool ok() const { return kind.empty(); }
};
// Checks one record's line on its own: its content hash recomputed from the
// members it covers, and its Ed25519 signature under `public_key`. Returns no
// kind, or the kind and message of the first fault.
RecordFault check_record_line(std::string_view line, const PublicKey& public_key);

}  // namespace oxa::logread
