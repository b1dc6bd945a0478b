#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "store/signing_key.hpp"

// Signed notes with Ed25519: a text ending in a line feed, a blank line, and
// signature lines "— <key name> base64(key id || signature)". A key is named
// by its name and a 4-byte key id derived from the name and the public key.
namespace oxa::tlog {

inline constexpr std::uint8_t ed25519_signature_type = 0x01;
inline constexpr std::size_t key_id_bytes = 4;
using KeyId = std::array<std::uint8_t, key_id_bytes>;

// The em dash and space that start a signature line.
inline constexpr std::string_view signature_line_start = "\xE2\x80\x94 ";

// A key name: non-empty UTF-8, no spaces (ASCII or Unicode), no '+', no control bytes.
bool valid_key_name(std::string_view name);

// SHA-256(name || 0x0A || type || public key)[:4]: the key id of a key of
// signature type `type` (0x01, the notes' Ed25519, unless told otherwise).
KeyId key_id(std::string_view name, const PublicKey& public_key, std::uint8_t type = ed25519_signature_type);

// A verifier key: "<name>+<key id in 8 hex digits>+<base64(0x01 || public key)>".
struct NoteVerifier {
  std::string name;
  KeyId id{};
  PublicKey public_key{};
  // The id follows from the name and key, so equal verifiers are one key.
  bool operator==(const NoteVerifier&) const = default;
};
std::string format_verifier_key(const NoteVerifier& verifier);
// Returns an explanation of the fault, or "" with `out` filled in. The key id
// must be the one the name and public key give.
std::string parse_verifier_key(std::string_view text, NoteVerifier& out);

// The notary's signing key with its name, read from a private key file that
// holds "PRIVATE+KEY+<name>+<key id hex>+<base64(0x01 || seed)>".
class NoteSigner {
 public:
  NoteSigner(std::string name, const SigningSeed& seed);
  const std::string& name() const { return name_; }
  NoteVerifier verifier() const;
  // The note: `text` (which must end in a line feed), a blank line and this
  // key's signature line.
  std::string sign(std::string_view text) const;
  // A bare Ed25519 signature of `message`, for formats that wrap it in their
  // own signature line (cosignatures).
  Signature sign_bytes(std::string_view message) const;

 private:
  std::string name_;
  SigningKey key_;
  KeyId id_;
};

std::string format_private_key(std::string_view name, const SigningSeed& seed);

// Thrown for a key file or key text that cannot be used; the message names
// the file and the fault.
class KeyError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Creates a fresh key: the private key file is created owner-only, and only
// if nothing is at `path` yet (never through a symbolic link). Returns the
// verifier key text.
std::string generate_key_file(const std::string& path, std::string_view name);
// Reads a private key file that passes the engine key file's checks (a
// regular file owned by this user or root, writable by its owner alone, no
// symbolic link planted by someone else); a file others can read still
// loads, with a warning's text in `*warning` when given.
std::unique_ptr<NoteSigner> read_key_file(const std::string& path, std::string* warning = nullptr);

enum class NoteCheck {
  verified,
  malformed,       // not a signed note at all
  unknown_key,     // no signature line from the given key
  bad_signature,   // a signature line from the key that does not verify
};
// Opens a note with one trusted key; `text` receives the signed text on success.
NoteCheck open_note(std::string_view note, const NoteVerifier& verifier, std::string& text);

}  // namespace oxa::tlog
