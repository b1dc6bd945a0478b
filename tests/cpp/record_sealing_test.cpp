#include <gtest/gtest.h>

#include <sodium.h>

#include <cmath>
#include <string>

#include "common/blake3_hash.hpp"
#include "common/hex_text.hpp"
#include "engine/record_sealing.hpp"
#include "store/signing_key.hpp"

namespace oxa {
namespace {

std::string canonical(double x) {
  std::string out;
  append_canonical_float(out, x);
  return out;
}

TEST(CanonicalFloat, Texts) {
  const struct {
    double value;
    std::string_view text;
  } cases[] = {
      {1.0, "1.0"},
      {0.5, "0.5"},
      {0.51, "0.51"},
      {0.5198, "0.5198"},
      {0.0001, "0.0001"},
      {0.00012, "0.00012"},
      {0.0, "0.0"},
      {1e-5, "1e-5"},
      {2.5e-7, "2.5e-7"},
      {9.5e-5, "9.5e-5"},
      {std::nextafter(0.0001, 0.0), "9.999999999999999e-5"},
      {5e-324, "5e-324"},
      {0.1 + 0.2, "0.30000000000000004"},
      {0.9999999999999999, "0.9999999999999999"},
      {12.5, "12.5"},
  };
  for (const auto& c : cases) EXPECT_EQ(canonical(c.value), c.text) << c.text;
}

TEST(RecordSealing, GenesisRoot) {
  EXPECT_EQ(hex_text(genesis_root()), "df840a304e772ef4cdfb23293d8adadde8d43567bde4b0190c3d954f696f0b0a");
}

TEST(RecordSealing, KnownFirstCapture) {
  const SealInput input{"model-a", "eu-west", "triage", "Hello", 1.0, 0.51};
  const Hash32 hash = content_hash(input);
  EXPECT_EQ(hex_text(hash), "09dc79a968887ff1cfc48219448d08b4674ab7523f74c4d67c01a22147fe7ff8");
  EXPECT_EQ(hash, blake3_hash(std::string_view("model-aeu-westtriageHello1.00.51")));
  EXPECT_EQ(hex_text(next_chain_root(genesis_root(), hash)),
            "96c83e54e57149f86efbde86e59da128031f5f76b9bc4dfe48f6ceacf6a03a6e");
}

TEST(RecordSealing, ChainInputLayout) {
  Hash32 a;
  Hash32 b;
  for (std::size_t i = 0; i < a.size(); ++i) {
    a[i] = static_cast<std::uint8_t>(i);
    b[i] = static_cast<std::uint8_t>(0xff - i);
  }
  const std::string input = "Hash(\"" + hex_text(a) + "\")Hash(\"" + hex_text(b) + "\")";
  ASSERT_EQ(input.size(), 144u);
  EXPECT_EQ(next_chain_root(a, b), blake3_hash(input));
  EXPECT_NE(next_chain_root(a, b), next_chain_root(b, a));
}

TEST(RecordSealing, ContentHashCoversTheConcatenatedText) {
  const struct {
    SealInput input;
    std::string_view text;
  } cases[] = {
      {{"", "", "", "", 1.0, 0.51}, "1.00.51"},
      // Item boundaries are not marked.
      {{"ab", "c", "", "", 0.5, 0.5}, "abc0.50.5"},
      {{"a", "bc", "", "", 0.5, 0.5}, "abc0.50.5"},
      {{"", "", "a", "bc", 0.5, 0.5}, "abc0.50.5"},
      // UTF-8 bytes as they are; a small reputation in scientific form.
      {{"mod\xc3\xa8le", "\xe6\x9d\xb1", "p", "\xf0\x9f\x99\x82", 0.0, 9.5e-5}, "mod\xc3\xa8le\xe6\x9d\xb1p\xf0\x9f\x99\x82" "0.09.5e-5"},
      {{"x", "y", "z", std::string_view("nul\0byte", 8), 0.9104, 0.0001}, std::string_view("xyznul\0byte0.91040.0001", 23)},
  };
  for (const auto& c : cases) EXPECT_EQ(content_hash(c.input), blake3_hash(c.text)) << c.text;
}

TEST(RecordSealing, SealSignsTheHashAndAdvancesTheRoot) {
  SigningSeed seed;
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(3 * i + 1);
  const SigningKey key(seed);
  const SealInput input{"model-a", "eu-west", "triage", "Hello", 1.0, 0.51};

  Hash32 root = genesis_root();
  const Seal first = seal_record(input, key, root);
  EXPECT_EQ(first.content_hash, content_hash(input));
  EXPECT_EQ(hex_text(root), "96c83e54e57149f86efbde86e59da128031f5f76b9bc4dfe48f6ceacf6a03a6e");
  // The message is the 32 raw hash bytes.
  EXPECT_EQ(crypto_sign_verify_detached(first.signature.data(), first.content_hash.data(),
                                        first.content_hash.size(), key.public_key().data()),
            0);

  // Same values again: same hash and signature, the next root.
  const Hash32 previous = root;
  const Seal second = seal_record(input, key, root);
  EXPECT_EQ(second.content_hash, first.content_hash);
  EXPECT_EQ(second.signature, first.signature);
  EXPECT_NE(root, previous);
  EXPECT_EQ(root, next_chain_root(previous, second.content_hash));
}

}  // namespace
}  // namespace oxa
