#include "notary/record_check.hpp"

#include <sodium.h>

#include <cmath>
#include <limits>
#include <simdjson.h>

#include "common/hex_text.hpp"
#include "engine/record_sealing.hpp"

namespace oxa::notary {

namespace {
RecordFault malformed(std::string message) { return {"malformed", std::move(message)}; }

bool read_float(simdjson::dom::element value, double& out) {
  if (value.is_null()) {
    // The log writes NaN and the infinities as null.
    out = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  return !value.get_double().get(out);
}
}  // namespace

RecordFault check_record_line(std::string_view line, const PublicKey& public_key) {
  simdjson::dom::parser parser;
  simdjson::dom::object record;
  if (parser.parse(line.data(), line.size()).get_object().get(record)) return malformed("the record is not a JSON object");
  std::string_view hash_hex, ppp_json, prompt;
  simdjson::dom::array signature_values;
  double coherence = 0, reputation = 0;
  if (record["hash"].get_string().get(hash_hex) || hash_hex.size() != 2 * hash_bytes)
    return malformed("\"hash\" is not 64 hexadecimal digits");
  if (record["signature"].get_array().get(signature_values)) return malformed("\"signature\" is not an array");
  if (record["ppp_json"].get_string().get(ppp_json)) return malformed("\"ppp_json\" is not a string");
  if (record["prompt"].get_string().get(prompt)) return malformed("\"prompt\" is not a string");
  simdjson::dom::element value;
  if (record["coherence_score"].get(value) || !read_float(value, coherence))
    return malformed("\"coherence_score\" is not a number");
  if (record["reputation_scalar"].get(value) || !read_float(value, reputation))
    return malformed("\"reputation_scalar\" is not a number");

  Signature signature;
  std::size_t count = 0;
  for (auto element : signature_values) {
    std::uint64_t byte = 0;
    if (count >= signature.size() || element.get_uint64().get(byte) || byte > 255)
      return malformed("\"signature\" is not 64 integers from 0 to 255");
    signature[count++] = static_cast<std::uint8_t>(byte);
  }
  if (count != signature.size()) return malformed("\"signature\" is not 64 integers from 0 to 255");

  // The triplet's own JSON text, parsed with a second parser: the first one's
  // strings stay valid only while it is not reused.
  simdjson::dom::parser ppp_parser;
  simdjson::dom::object ppp;
  std::string_view provenance, place, purpose;
  if (ppp_parser.parse(ppp_json.data(), ppp_json.size()).get_object().get(ppp) ||
      ppp["provenance"].get_string().get(provenance) || ppp["place"].get_string().get(place) ||
      ppp["purpose"].get_string().get(purpose))
    return malformed("\"ppp_json\" does not hold the triplet's three strings");

  const Hash32 hash = content_hash({provenance, place, purpose, prompt, coherence, reputation});
  if (hex_text(hash) != hash_hex) return {"hash-mismatch", "the record's hash is not the one its members give"};
  if (crypto_sign_verify_detached(signature.data(), hash.data(), hash.size(), public_key.data()) != 0)
    return {"bad-signature", "the record's signature does not verify under the public key"};
  return {};
}

}  // namespace oxa::notary
