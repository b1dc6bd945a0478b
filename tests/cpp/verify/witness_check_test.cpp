#include <gtest/gtest.h>

#include <string>

#include "tlog/signed_note.hpp"
#include "store/signing_key.hpp"
#include "verify/verify_errors.hpp"
#include "verify/witness_check.hpp"
#include "tlog/cosignature.hpp"
#include "tlog/policy.hpp"

namespace oxa::verify {
namespace {

PublicKey public_key_of(std::uint8_t fill) {
  SigningSeed seed;
  seed.fill(fill);
  return SigningKey(seed).public_key();
}

std::string log_line(const std::string& origin, std::uint8_t fill) {
  tlog::NoteVerifier verifier{origin, tlog::key_id(origin, public_key_of(fill)), public_key_of(fill)};
  return "log " + tlog::format_verifier_key(verifier) + "\n";
}

std::string witness_line(const std::string& name, std::uint8_t fill) {
  return "witness " + name + " " + tlog::format_cosignature_vkey(name + ".example", public_key_of(fill)) + "\n";
}

tlog::Policy parsed(const std::string& text) {
  tlog::Policy policy;
  const std::string error = tlog::parse_policy(text, tlog::PolicyScope::complete, policy);
  EXPECT_EQ(error, "");
  return policy;
}

const std::string witnesses = witness_line("A", 11) + witness_line("B", 12) + witness_line("C", 13);

TEST(WitnessCheck, QuorumTextSpellsEachGroupOutOnce) {
  const tlog::Policy policy = parsed(log_line("example.com/log", 1) + witnesses +
                                        "group X any A B\ngroup Y all X C\ngroup Z 2 X Y C\nquorum Z\n");
  EXPECT_EQ(quorum_text(policy), "Z (2 of X (any of A, B), Y (all of X, C), C)");
  EXPECT_EQ(quorum_text(parsed(log_line("example.com/log", 1) + witnesses + "quorum B\n")), "B");
  EXPECT_EQ(quorum_text(parsed(log_line("example.com/log", 1) + "quorum none\n")), "none");
}

// Groups that each name the two before them would double the text at every
// level if spelled out wherever they are named.
TEST(WitnessCheck, QuorumTextOfSharedGroupsGrowsWithThePolicy) {
  std::string text = log_line("example.com/log", 1) + witnesses + "group G0 any A B\ngroup G1 any B C\n";
  for (int i = 2; i < 30; ++i)
    text += "group G" + std::to_string(i) + " all G" + std::to_string(i - 1) + " G" + std::to_string(i - 2) + "\n";
  text += "quorum G29\n";
  EXPECT_LT(quorum_text(parsed(text)).size(), 2 * text.size());
}

TEST(WitnessCheck, PolicyLogKeyIsTheOneLogOrTheOneTheNotaryKeyNames) {
  const std::string first = log_line("example.com/first", 1);
  const std::string second = log_line("example.com/second", 2);
  const std::string first_key = first.substr(4, first.size() - 5);
  const std::string second_key = second.substr(4, second.size() - 5);
  const tlog::Policy one = parsed(first + "quorum none\n");
  EXPECT_EQ(policy_log_key(one, "p", std::nullopt), first_key);
  EXPECT_EQ(policy_log_key(one, "p", first_key), first_key);
  EXPECT_THROW(policy_log_key(one, "p", second_key), UsageError);
  EXPECT_THROW(policy_log_key(one, "p", std::string("not a key")), UsageError);

  const tlog::Policy two = parsed(first + second + "quorum none\n");
  EXPECT_THROW(policy_log_key(two, "p", std::nullopt), UsageError);
  EXPECT_EQ(policy_log_key(two, "p", second_key), second_key);
  EXPECT_THROW(policy_log_key(parsed(witnesses + "quorum A\n"), "p", std::nullopt), UsageError);
}

}  // namespace
}  // namespace oxa::verify
