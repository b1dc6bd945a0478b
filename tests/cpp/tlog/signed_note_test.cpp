#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "common/hex_text.hpp"
#include "test_files.hpp"
#include "tlog/base64_text.hpp"
#include "tlog/checkpoint.hpp"
#include "tlog/signed_note.hpp"

namespace oxa::tlog {
namespace {

using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

SigningSeed test_seed(std::uint8_t start = 1) {
  SigningSeed seed;
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(start + i);
  return seed;
}

TEST(Base64, CanonicalTextOnly) {
  const std::string bytes = "\x00\xff\x10 any";
  EXPECT_EQ(base64_encode(std::string_view("")), "");
  EXPECT_EQ(base64_encode(std::string_view("f")), "Zg==");
  EXPECT_EQ(base64_encode(std::string_view("fo")), "Zm8=");
  EXPECT_EQ(base64_encode(std::string_view("foo")), "Zm9v");
  const auto round = base64_decode(base64_encode(bytes));
  ASSERT_TRUE(round);
  EXPECT_EQ(std::string(round->begin(), round->end()), bytes);
  for (const char* bad : {"Zg", "Zh==", "Zm9", "Zm9v\n", "Z===", "Zm-v", "=Zm9"})
    EXPECT_FALSE(base64_decode(bad)) << bad;
}

TEST(SignedNote, VerifierKeyRoundTripAndChecks) {
  const NoteSigner signer("example.com/audit", test_seed());
  const std::string vkey = format_verifier_key(signer.verifier());
  ASSERT_EQ(vkey.substr(0, 18), "example.com/audit+");
  NoteVerifier parsed;
  ASSERT_EQ(parse_verifier_key(vkey, parsed), "");
  EXPECT_EQ(parsed.public_key, signer.verifier().public_key);
  EXPECT_EQ(parsed.id, signer.verifier().id);

  std::string wrong_id = vkey;
  wrong_id[18] = wrong_id[18] == '0' ? '1' : '0';
  for (const std::string& bad : {wrong_id, std::string("nokey"), std::string("a+b"),
                                 "exa mple+" + vkey.substr(18), vkey.substr(0, vkey.size() - 4)})
    EXPECT_NE(parse_verifier_key(bad, parsed), "") << bad;
}

TEST(SignedNote, OpenChecksSignatureAndIgnoresOtherKeys) {
  const NoteSigner signer("example.com/audit", test_seed());
  const NoteSigner other("example.com/other", test_seed(7));
  const std::string text = "example.com/audit\n3\nAAAA\n";
  const std::string note = signer.sign(text);
  ASSERT_EQ(note.substr(text.size()), "\n\xE2\x80\x94 example.com/audit " + note.substr(text.size() + 23));

  std::string opened;
  EXPECT_EQ(open_note(note, signer.verifier(), opened), NoteCheck::verified);
  EXPECT_EQ(opened, text);
  EXPECT_EQ(open_note(note, other.verifier(), opened), NoteCheck::unknown_key);
  // A second signature line of an unknown key changes nothing.
  const std::string cosigned = note + other.sign(text).substr(text.size() + 1);
  EXPECT_EQ(open_note(cosigned, signer.verifier(), opened), NoteCheck::verified);

  std::string altered = note;
  altered[text.size() - 2] = 'B';
  EXPECT_EQ(open_note(altered, signer.verifier(), opened), NoteCheck::bad_signature);
  EXPECT_EQ(open_note(text, signer.verifier(), opened), NoteCheck::malformed);
  EXPECT_EQ(open_note(note.substr(0, note.size() - 1), signer.verifier(), opened), NoteCheck::malformed);
}

TEST(KeyFile, CreatedOwnerOnlyNeverOverwrittenAndReadBack) {
  TempDir dir;
  const std::string path = dir / "notary.key";
  const std::string vkey = generate_key_file(path, "example.com/audit");
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  const std::string content = read_file(path);
  EXPECT_EQ(content.rfind("PRIVATE+KEY+example.com/audit+", 0), 0u);

  EXPECT_THROW(generate_key_file(path, "example.com/audit"), KeyError);
  EXPECT_EQ(read_file(path), content);

  const auto signer = read_key_file(path);
  EXPECT_EQ(format_verifier_key(signer->verifier()), vkey);

  EXPECT_THROW(generate_key_file(dir / "bad.key", "has space"), KeyError);
  write_file(dir / "junk.key", "PRIVATE+KEY+x+00000000+AAAA\n");
  EXPECT_THROW(read_key_file(dir / "junk.key"), KeyError);
  EXPECT_THROW(read_key_file(dir / "missing.key"), KeyError);
}

TEST(Checkpoint, BodyAndFileLinesRoundTrip) {
  const NoteSigner signer("example.com/audit", test_seed());
  TreeBuilder tree;
  for (int i = 0; i < 5; ++i) tree.append_data("line " + std::to_string(i));
  Checkpoint checkpoint;
  checkpoint.size = tree.size();
  checkpoint.bytes = 35;
  checkpoint.frontier = tree.frontier();
  checkpoint.note = signer.sign(format_checkpoint_body({"example.com/audit", tree.size(), tree.root()}));

  TempDir dir;
  const std::string path = dir / "log.checkpoints";
  EXPECT_TRUE(read_checkpoint_file(path, true).empty());
  EXPECT_THROW(read_checkpoint_file(path, false), CheckpointFileError);
  append_checkpoint(path, checkpoint);
  append_checkpoint(path, checkpoint);
  const std::string content = read_file(path);
  // The note sits in one JSON string: line feeds escaped, the em dash as is.
  EXPECT_NE(content.find("\\n\\n\xE2\x80\x94 example.com/audit "), std::string::npos);

  const auto lines = read_checkpoint_file(path, false);
  ASSERT_EQ(lines.size(), 2u);
  ASSERT_TRUE(lines[1].checkpoint) << lines[1].error;
  EXPECT_EQ(lines[1].checkpoint->frontier, checkpoint.frontier);
  EXPECT_EQ(lines[1].checkpoint->note, checkpoint.note);
  CheckpointBody body;
  EXPECT_EQ(check_checkpoint(*lines[1].checkpoint, signer.verifier(), body), "");
  EXPECT_EQ(body.root, tree.root());
  EXPECT_EQ(body.size, 5u);

  Checkpoint wrong_frontier = checkpoint;
  wrong_frontier.frontier[0][0] ^= 1;
  EXPECT_NE(check_checkpoint(wrong_frontier, signer.verifier(), body), "");
  const NoteSigner other("example.com/audit", test_seed(9));
  EXPECT_NE(check_checkpoint(checkpoint, other.verifier(), body), "");

  write_file(path, content + "{\"size\":1}\n{\"size\":3,\"bytes\":3,\"frontier\":[],\"note\":\"\"}\n{\"size\"");
  const auto damaged = read_checkpoint_file(path, false);
  ASSERT_EQ(damaged.size(), 5u);
  EXPECT_FALSE(damaged[2].checkpoint);
  EXPECT_FALSE(damaged[3].checkpoint);  // frontier does not fit the size
  EXPECT_FALSE(damaged[4].checkpoint);  // no line feed
}

}  // namespace
}  // namespace oxa::tlog
