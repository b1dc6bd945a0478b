#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <new>

#include "common/hex_text.hpp"
#include "store/signing_key.hpp"

namespace oxa {
namespace {

SigningSeed test_seed() {
  SigningSeed seed;
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(0xa0 + i);
  return seed;
}

TEST(SigningKey, RfcTestVectorOne) {
  // RFC 8032, section 7.1, TEST 1: the empty message.
  SigningSeed seed;
  const std::string seed_hex = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(std::stoi(seed_hex.substr(2 * i, 2), nullptr, 16));
  const SigningKey key(seed);
  EXPECT_EQ(hex_text(key.public_key()), "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
  EXPECT_EQ(hex_text(key.sign({})),
            "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
            "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b");
}

TEST(SigningKey, DestructionWipesTheSecrets) {
  const SigningSeed seed = test_seed();
  alignas(SigningKey) unsigned char storage[sizeof(SigningKey)];
  auto* key = new (storage) SigningKey(seed);
  ASSERT_NE(std::search(storage, storage + sizeof storage, seed.begin(), seed.end()), storage + sizeof storage);
  key->~SigningKey();
  // Neither the seed nor the rest of libsodium's secret key survives in the
  // object's memory; the secret key lies before the public key, which is not secret.
  EXPECT_EQ(std::search(storage, storage + sizeof storage, seed.begin(), seed.end()), storage + sizeof storage);
  EXPECT_EQ(std::count(storage, storage + sodium_secret_key_bytes, 0),
            static_cast<std::ptrdiff_t>(sodium_secret_key_bytes));
}

}  // namespace
}  // namespace oxa
