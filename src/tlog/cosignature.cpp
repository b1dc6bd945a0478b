#include "tlog/cosignature.hpp"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/hex_text.hpp"
#include "tlog/base64_text.hpp"

namespace oxa::tlog {

namespace {

constexpr std::string_view cosignature_header = "cosignature/v1\n";

}  // namespace

KeyId cosignature_key_id(std::string_view name, const PublicKey& public_key) {
  return key_id(name, public_key, cosignature_ed25519_type);
}

std::string format_cosignature_vkey(std::string_view name, const PublicKey& public_key) {
  std::vector<std::uint8_t> data{cosignature_ed25519_type};
  data.insert(data.end(), public_key.begin(), public_key.end());
  std::string text(name);
  text += '+';
  text += hex_text(cosignature_key_id(name, public_key));
  text += '+';
  text += base64_encode(data);
  return text;
}

std::string parse_cosignature_vkey(std::string_view text, NoteVerifier& out) {
  // The same layout as a note verifier key; only the type byte and hence the
  // key id differ. The note parser checks the layout, the name and the id
  // against the 0x01 type, so the text is parsed here on its own.
  const std::size_t first = text.find('+');
  const std::size_t second = first == std::string_view::npos ? first : text.find('+', first + 1);
  if (second == std::string_view::npos) return "a verifier key has the form <name>+<key id>+<base64 key>";
  const std::string_view name = text.substr(0, first);
  const std::string_view id = text.substr(first + 1, second - first - 1);
  if (!valid_key_name(name)) return "the key name is empty or holds a space or '+'";
  const auto bytes = base64_decode(text.substr(second + 1));
  if (!bytes || bytes->size() != 1 + public_key_bytes || (*bytes)[0] != cosignature_ed25519_type)
    return "the key is not base64 of the Ed25519 cosignature type byte (0x04) and a 32-byte public key";
  NoteVerifier verifier;
  verifier.name = std::string(name);
  std::memcpy(verifier.public_key.data(), bytes->data() + 1, public_key_bytes);
  verifier.id = cosignature_key_id(verifier.name, verifier.public_key);
  if (id != hex_text(verifier.id)) return "the key id does not match the name and public key";
  out = std::move(verifier);
  return {};
}

std::string cosignature_message(std::uint64_t timestamp, std::string_view checkpoint_text) {
  std::string message(cosignature_header);
  message += "time ";
  message += std::to_string(timestamp);
  message += '\n';
  message += checkpoint_text;
  return message;
}

std::string cosignature_line(const NoteSigner& signer, std::uint64_t timestamp,
                             std::string_view checkpoint_text) {
  const std::string message = cosignature_message(timestamp, checkpoint_text);
  const Signature signature = signer.sign_bytes(message);
  const PublicKey public_key = signer.verifier().public_key;
  const KeyId id = cosignature_key_id(signer.name(), public_key);
  std::vector<std::uint8_t> blob(id.begin(), id.end());
  for (int shift = 56; shift >= 0; shift -= 8) blob.push_back(static_cast<std::uint8_t>(timestamp >> shift));
  blob.insert(blob.end(), signature.begin(), signature.end());
  std::string line(signature_line_start);
  line += signer.name();
  line += ' ';
  line += base64_encode(blob);
  line += '\n';
  return line;
}

CosignatureCheck check_cosignature(std::string_view note, const NoteVerifier& witness) {
  static const bool sodium_ready = sodium_init() >= 0;
  if (!sodium_ready) return CosignatureCheck::bad;
  const std::size_t blank = note.rfind("\n\n");
  if (note.empty() || note.back() != '\n' || blank == std::string_view::npos) return CosignatureCheck::absent;
  const std::string_view text = note.substr(0, blank + 1);
  std::string_view lines = note.substr(blank + 2);
  CosignatureCheck outcome = CosignatureCheck::absent;
  while (!lines.empty()) {
    const std::size_t end = lines.find('\n');
    std::string_view line = lines.substr(0, end);
    lines.remove_prefix(end + 1);
    if (line.substr(0, signature_line_start.size()) != signature_line_start) continue;
    line.remove_prefix(signature_line_start.size());
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos || line.substr(0, space) != witness.name) continue;
    const auto blob = base64_decode(line.substr(space + 1));
    if (!blob || blob->size() < key_id_bytes ||
        !std::equal(witness.id.begin(), witness.id.end(), blob->begin()))
      continue;
    constexpr std::size_t blob_bytes = key_id_bytes + cosignature_timestamp_bytes + signature_bytes;
    if (blob->size() != blob_bytes) return CosignatureCheck::bad;
    std::uint64_t timestamp = 0;
    for (std::size_t i = 0; i < cosignature_timestamp_bytes; ++i)
      timestamp = (timestamp << 8) | (*blob)[key_id_bytes + i];
    if (timestamp > cosignature_timestamp_limit) return CosignatureCheck::bad;
    const std::string message = cosignature_message(timestamp, text);
    if (crypto_sign_verify_detached(blob->data() + key_id_bytes + cosignature_timestamp_bytes,
                                    reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                                    witness.public_key.data()) != 0)
      return CosignatureCheck::bad;
    outcome = CosignatureCheck::verified;
  }
  return outcome;
}

}  // namespace oxa::tlog
