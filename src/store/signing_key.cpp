#include "store/signing_key.hpp"

#include <sodium.h>

#include "common/internal_fault.hpp"

namespace oxa {

static_assert(signing_seed_bytes == crypto_sign_SEEDBYTES);
static_assert(public_key_bytes == crypto_sign_PUBLICKEYBYTES);
static_assert(signature_bytes == crypto_sign_BYTES);
static_assert(sodium_secret_key_bytes == crypto_sign_SECRETKEYBYTES);

namespace {
void ensure_sodium_ready() {
  // sodium_init is idempotent and thread-safe; it picks the fastest code paths.
  static const int status = sodium_init();
  if (status < 0) throw InternalFault("Error: libsodium could not be initialised");
}
}  // namespace

SigningKey::SigningKey(const SigningSeed& seed) {
  // Before any secret is copied: a failure here leaves nothing to wipe.
  ensure_sodium_ready();
  crypto_sign_seed_keypair(public_key_.data(), secret_key_.data(), seed.data());
}

SigningKey::~SigningKey() { sodium_memzero(secret_key_.data(), secret_key_.size()); }

Signature SigningKey::sign(std::span<const std::uint8_t> message) const {
  Signature signature;
  crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), secret_key_.data());
  return signature;
}

}  // namespace oxa
