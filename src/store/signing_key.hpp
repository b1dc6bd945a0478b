#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace oxa {

inline constexpr std::size_t signing_seed_bytes = 32;    // crypto_sign_SEEDBYTES
inline constexpr std::size_t public_key_bytes = 32;      // crypto_sign_PUBLICKEYBYTES
inline constexpr std::size_t signature_bytes = 64;       // crypto_sign_BYTES
inline constexpr std::size_t sodium_secret_key_bytes = 64;  // crypto_sign_SECRETKEYBYTES

using SigningSeed = std::array<std::uint8_t, signing_seed_bytes>;
using PublicKey = std::array<std::uint8_t, public_key_bytes>;
using Signature = std::array<std::uint8_t, signature_bytes>;

// An Ed25519 key pair derived from a 32-byte seed (RFC 8032). The only copy of
// the secret it keeps is libsodium's secret key (the seed followed by the
// public key), wiped when the key is destroyed.
class SigningKey {
 public:
  explicit SigningKey(const SigningSeed& seed);
  ~SigningKey();
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;

  const PublicKey& public_key() const { return public_key_; }
  Signature sign(std::span<const std::uint8_t> message) const;

 private:
  std::array<std::uint8_t, sodium_secret_key_bytes> secret_key_;
  PublicKey public_key_;
};

}  // namespace oxa
