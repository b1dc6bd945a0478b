#include "tlog/signed_note.hpp"

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <simdjson.h>

#include "common/file_status.hpp"
#include "common/hex_text.hpp"
#include "common/internal_fault.hpp"
#include "common/os_error.hpp"
#include "common/random_source.hpp"
#include "store/file_io.hpp"
#include "store/trusted_file.hpp"
#include "tlog/base64_text.hpp"

namespace oxa::tlog {

namespace {

constexpr std::string_view private_key_prefix = "PRIVATE+KEY+";
// A private key text is short; anything much longer is not one.
constexpr std::size_t private_key_file_limit = 4096;

// Secret text on the heap, wiped however the scope is left.
struct WipedText {
  std::string text;
  ~WipedText() {
    if (!text.empty()) sodium_memzero(text.data(), text.size());
  }
};

struct WipedSeed {
  SigningSeed seed{};
  ~WipedSeed() { sodium_memzero(seed.data(), seed.size()); }
};

// The UTF-8 encodings of the Unicode spaces outside ASCII.
constexpr std::string_view unicode_spaces[] = {
    "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\xA8", "\xE2\x80\xA9",
    "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};

bool parse_hex_id(std::string_view text, KeyId& out) {
  if (text.size() != 2 * key_id_bytes) return false;
  for (std::size_t i = 0; i < key_id_bytes; ++i) {
    int value = 0;
    for (int j = 0; j < 2; ++j) {
      const char c = text[2 * i + j];
      int digit;
      if (c >= '0' && c <= '9') digit = c - '0';
      else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      else return false;
      value = value * 16 + digit;
    }
    out[i] = static_cast<std::uint8_t>(value);
  }
  return true;
}

// Splits "<name>+<hex id>+<base64>" at its first two '+': a name holds none,
// the hex id none, and the base64 text may.
bool split_key_text(std::string_view text, std::string_view& name, std::string_view& id,
                    std::string_view& data) {
  const std::size_t first = text.find('+');
  if (first == std::string_view::npos) return false;
  const std::size_t second = text.find('+', first + 1);
  if (second == std::string_view::npos) return false;
  name = text.substr(0, first);
  id = text.substr(first + 1, second - first - 1);
  data = text.substr(second + 1);
  return true;
}

std::string key_file_error(const std::string& path, std::string_view what) {
  std::string message = "notary key file ";
  message += path;
  message += ": ";
  message += what;
  return message;
}

bool valid_note_bytes(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 && c != '\n') return false;
  return true;
}

}  // namespace

bool valid_key_name(std::string_view name) {
  if (name.empty() || !simdjson::validate_utf8(name.data(), name.size())) return false;
  for (unsigned char c : name)
    if (c <= 0x20 || c == '+' || c == 0x7f) return false;
  for (std::string_view space : unicode_spaces)
    if (name.find(space) != std::string_view::npos) return false;
  // U+2000 to U+200A: E2 80 80 to E2 80 8A.
  for (std::size_t at = name.find("\xE2\x80"); at != std::string_view::npos; at = name.find("\xE2\x80", at + 1))
    if (at + 2 < name.size() && static_cast<unsigned char>(name[at + 2]) <= 0x8A &&
        static_cast<unsigned char>(name[at + 2]) >= 0x80)
      return false;
  return true;
}

KeyId key_id(std::string_view name, const PublicKey& public_key, std::uint8_t type) {
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(name.data()), name.size());
  const unsigned char separator[2] = {'\n', type};
  crypto_hash_sha256_update(&state, separator, sizeof separator);
  crypto_hash_sha256_update(&state, public_key.data(), public_key.size());
  std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest;
  crypto_hash_sha256_final(&state, digest.data());
  KeyId id;
  std::memcpy(id.data(), digest.data(), key_id_bytes);
  return id;
}

std::string format_verifier_key(const NoteVerifier& verifier) {
  std::vector<std::uint8_t> data{ed25519_signature_type};
  data.insert(data.end(), verifier.public_key.begin(), verifier.public_key.end());
  return verifier.name + "+" + hex_text(verifier.id) + "+" + base64_encode(data);
}

std::string parse_verifier_key(std::string_view text, NoteVerifier& out) {
  std::string_view name, id, data;
  if (!split_key_text(text, name, id, data))
    return "a verifier key has the form <name>+<key id>+<base64 key>";
  if (!valid_key_name(name)) return "the key name is empty or holds a space or '+'";
  KeyId parsed_id;
  if (!parse_hex_id(id, parsed_id)) return "the key id is not 8 lower-case hexadecimal digits";
  const auto bytes = base64_decode(data);
  if (!bytes || bytes->size() != 1 + public_key_bytes || (*bytes)[0] != ed25519_signature_type)
    return "the key is not base64 of the Ed25519 type byte and a 32-byte public key";
  NoteVerifier verifier;
  verifier.name = std::string(name);
  std::memcpy(verifier.public_key.data(), bytes->data() + 1, public_key_bytes);
  verifier.id = key_id(verifier.name, verifier.public_key);
  if (verifier.id != parsed_id) return "the key id does not match the name and public key";
  out = std::move(verifier);
  return {};
}

NoteSigner::NoteSigner(std::string name, const SigningSeed& seed)
    : name_(std::move(name)), key_(seed), id_(key_id(name_, key_.public_key())) {}

NoteVerifier NoteSigner::verifier() const { return {name_, id_, key_.public_key()}; }

std::string NoteSigner::sign(std::string_view text) const {
  const Signature signature =
      key_.sign({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  std::vector<std::uint8_t> blob(id_.begin(), id_.end());
  blob.insert(blob.end(), signature.begin(), signature.end());
  std::string note(text);
  note += '\n';
  note += signature_line_start;
  note += name_;
  note += ' ';
  note += base64_encode(blob);
  note += '\n';
  return note;
}

Signature NoteSigner::sign_bytes(std::string_view message) const {
  return key_.sign({reinterpret_cast<const std::uint8_t*>(message.data()), message.size()});
}

std::string format_private_key(std::string_view name, const SigningSeed& seed) {
  const SigningKey key(seed);
  std::vector<std::uint8_t> data{ed25519_signature_type};
  data.insert(data.end(), seed.begin(), seed.end());
  std::string text(private_key_prefix);
  text += name;
  text += '+';
  text += hex_text(key_id(name, key.public_key()));
  text += '+';
  text += base64_encode(data);
  sodium_memzero(data.data(), data.size());
  return text;
}

std::string generate_key_file(const std::string& path, std::string_view name) {
  if (!valid_key_name(name))
    throw KeyError("key name \"" + std::string(name) + "\": it must be non-empty UTF-8 and hold no space or '+'");
  if (holds_nul(path)) throw KeyError(key_file_error(path, nul_in_path_rendering));
  WipedSeed seed;
  if (const int error = fill_random(seed.seed)) throw KeyError("random source: " + describe_os_error(error));
  WipedText text{format_private_key(name, seed.seed) + "\n"};
  // O_EXCL with O_NOFOLLOW: an existing key (or a link planted at the name)
  // is never overwritten or written through.
  const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int error = errno;
    throw KeyError(key_file_error(path, error == EEXIST ? "already exists; it is never overwritten"
                                                        : describe_os_error(error)));
  }
  const WriteOutcome outcome = write_all(fd, text.text.data(), text.text.size());
  const bool synced = outcome.ok() && ::fsync(fd) == 0;
  const int sync_error = errno;
  ::close(fd);
  if (!synced) {
    // A half-written key would be refused later anyway; leave no such file.
    ::unlink(path.c_str());
    throw KeyError(key_file_error(path, outcome.ok() ? describe_os_error(sync_error) : outcome.error));
  }
  const NoteSigner signer{std::string(name), seed.seed};
  return format_verifier_key(signer.verifier());
}

std::unique_ptr<NoteSigner> read_key_file(const std::string& path, std::string* warning) {
  if (holds_nul(path)) throw KeyError(key_file_error(path, nul_in_path_rendering));
  // Non-blocking: a FIFO planted at the name is refused below, not waited on.
  const int fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) throw KeyError(key_file_error(path, describe_os_error(errno)));
  // The engine key's rules: whoever else could write or plant this file
  // could sign checkpoints in the notary's name.
  try {
    const FileStatus status = check_trusted_file(fd, path, {"", "notary key"});
    if (warning && readable_by_others(status))
      *warning = key_file_error(path, "has mode " + mode_text(status.mode) +
                                          ", readable by group or others: anyone who can read it can sign "
                                          "checkpoints as this notary. Restrict it with: chmod 600 " + path);
  } catch (const InternalFault& fault) {
    ::close(fd);
    throw KeyError(key_file_error(path, fault.what()));
  }
  WipedText content;
  content.text.resize(private_key_file_limit + 1);
  std::size_t got = 0;
  while (got < content.text.size()) {
    const ssize_t n = ::read(fd, content.text.data() + got, content.text.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      throw KeyError(key_file_error(path, describe_os_error(error)));
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (got > private_key_file_limit) throw KeyError(key_file_error(path, "too long for a private key"));
  std::string_view text(content.text.data(), got);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);

  constexpr std::string_view malformed = "not a notary private key (PRIVATE+KEY+<name>+<key id>+<base64 key>)";
  if (text.substr(0, private_key_prefix.size()) != private_key_prefix)
    throw KeyError(key_file_error(path, malformed));
  text.remove_prefix(private_key_prefix.size());
  std::string_view name, id, data;
  KeyId parsed_id;
  if (!split_key_text(text, name, id, data) || !valid_key_name(name) || !parse_hex_id(id, parsed_id))
    throw KeyError(key_file_error(path, malformed));
  auto bytes = base64_decode(data);
  if (!bytes || bytes->size() != 1 + signing_seed_bytes || (*bytes)[0] != ed25519_signature_type) {
    if (bytes) sodium_memzero(bytes->data(), bytes->size());
    throw KeyError(key_file_error(path, malformed));
  }
  WipedSeed seed;
  std::memcpy(seed.seed.data(), bytes->data() + 1, signing_seed_bytes);
  sodium_memzero(bytes->data(), bytes->size());
  auto signer = std::make_unique<NoteSigner>(std::string(name), seed.seed);
  if (signer->verifier().id != parsed_id)
    throw KeyError(key_file_error(path, "the key id does not match the name and key"));
  return signer;
}

NoteCheck open_note(std::string_view note, const NoteVerifier& verifier, std::string& text) {
  // libsodium chooses its code paths once; its initialisation is thread-safe
  // and may run here first, beside a verification on other threads.
  static const bool sodium_ready = sodium_init() >= 0;
  if (!sodium_ready) return NoteCheck::bad_signature;
  if (note.empty() || note.back() != '\n' || !valid_note_bytes(note)) return NoteCheck::malformed;
  // The text ends at the last blank line; the signature lines follow it.
  const std::size_t blank = note.rfind("\n\n");
  if (blank == std::string_view::npos) return NoteCheck::malformed;
  const std::string_view body = note.substr(0, blank + 1);
  std::string_view signatures = note.substr(blank + 2);
  if (signatures.empty()) return NoteCheck::malformed;

  bool found = false;
  while (!signatures.empty()) {
    const std::size_t end = signatures.find('\n');
    std::string_view line = signatures.substr(0, end);
    signatures.remove_prefix(end + 1);
    if (line.substr(0, signature_line_start.size()) != signature_line_start) return NoteCheck::malformed;
    line.remove_prefix(signature_line_start.size());
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) return NoteCheck::malformed;
    const std::string_view name = line.substr(0, space);
    const auto blob = base64_decode(line.substr(space + 1));
    if (!valid_key_name(name) || !blob || blob->size() < key_id_bytes) return NoteCheck::malformed;
    // Signatures of other keys are ignored, even when they share the name or the id.
    if (name != verifier.name || !std::equal(verifier.id.begin(), verifier.id.end(), blob->begin())) continue;
    if (blob->size() != key_id_bytes + signature_bytes) return NoteCheck::bad_signature;
    if (crypto_sign_verify_detached(blob->data() + key_id_bytes,
                                    reinterpret_cast<const unsigned char*>(body.data()), body.size(),
                                    verifier.public_key.data()) != 0)
      return NoteCheck::bad_signature;
    found = true;
  }
  if (!found) return NoteCheck::unknown_key;
  text = std::string(body);
  return NoteCheck::verified;
}

}  // namespace oxa::tlog
