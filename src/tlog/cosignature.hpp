#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tlog/signed_note.hpp"

// Ed25519 cosignatures of checkpoints ("cosignature/v1"): a signature line
// "— <name> base64(key id || timestamp || signature)" whose key id uses the
// signature type 0x04, over "cosignature/v1\ntime <t>\n" and the checkpoint
// text.
namespace oxa::tlog {

inline constexpr std::uint8_t cosignature_ed25519_type = 0x04;
inline constexpr std::size_t cosignature_timestamp_bytes = 8;
// Timestamps are POSIX seconds that must fit a signed 64-bit integer.
inline constexpr std::uint64_t cosignature_timestamp_limit = 0x7fffffffffffffffULL;

// SHA-256(name || 0x0A || 0x04 || public key)[:4].
KeyId cosignature_key_id(std::string_view name, const PublicKey& public_key);

// "<name>+<key id hex>+<base64(0x04 || public key)>".
std::string format_cosignature_vkey(std::string_view name, const PublicKey& public_key);
// Returns an explanation of the fault, or "" with `out` filled in (its id is
// the cosignature key id).
std::string parse_cosignature_vkey(std::string_view text, NoteVerifier& out);

// "cosignature/v1\ntime <timestamp>\n" followed by the checkpoint text.
std::string cosignature_message(std::uint64_t timestamp, std::string_view checkpoint_text);

// The signature line (with its line feed) that `signer` gives `checkpoint_text`
// at `timestamp`.
std::string cosignature_line(const NoteSigner& signer, std::uint64_t timestamp,
                             std::string_view checkpoint_text);

enum class CosignatureCheck {
  absent,    // no signature line with the witness's name and key id
  verified,  // such lines, and each verifies
  bad,       // such a line that does not verify (or is not a cosignature)
};
// The cosignature lines of `witness` on a signed checkpoint note. Lines of
// other keys are ignored; a note that is not a signed note is `absent`.
CosignatureCheck check_cosignature(std::string_view note, const NoteVerifier& witness);

}  // namespace oxa::tlog
