#include "logread/record_check.hpp"

#include <sodium.h>

#include "engine/record_sealing.hpp"
#include "logread/record_format.hpp"

namespace oxa::logread {

RecordFault check_record_line(std::string_view line, const PublicKey& public_key) {
  // The strict reading of a log line the verifier uses, so that a record proved alone
  // is held to the same format as one verified in its log.
  RecordReader reader;
  RecordFields fields;
  if (std::string error = reader.read(line, false, fields); !error.empty())
    return {kind_record_malformed, "the record's line is not a record: " + error};
  const Hash32 hash = content_hash(
      {fields.provenance, fields.place, fields.purpose, fields.prompt, fields.coherence, fields.reputation});
  if (hash != fields.hash) return {kind_record_hash_mismatch, "the record's hash is not the one its members give"};
  if (crypto_sign_verify_detached(fields.signature.data(), hash.data(), hash.size(), public_key.data()) != 0)
    return {kind_record_bad_signature, "the record's signature does not verify under the public key"};
  return {};
}

}  // namespace oxa::logread
