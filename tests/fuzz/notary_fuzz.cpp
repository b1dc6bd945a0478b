// libFuzzer target for what the notary side reads from untrusted bytes:
// checkpoint files, signed notes and checkpoint bodies, verifier keys and
// tlog-proofs. The first byte picks the reader; the rest is its input.
#include <cstdint>
#include <string>
#include <string_view>

#include "notary/base64_text.hpp"
#include "notary/checkpoint.hpp"
#include "notary/merkle_tree.hpp"
#include "notary/signed_note.hpp"
#include "notary/tlog_proof.hpp"

namespace {

const oxa::notary::NoteVerifier& some_verifier() {
  static const oxa::notary::NoteSigner signer("fuzz.example/log", oxa::SigningSeed{});
  static const oxa::notary::NoteVerifier verifier = signer.verifier();
  return verifier;
}

void check_note(std::string_view note) {
  std::string text;
  if (oxa::notary::open_note(note, some_verifier(), text) == oxa::notary::NoteCheck::verified) {
    oxa::notary::CheckpointBody body;
    oxa::notary::parse_checkpoint_body(text, body);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 5) {
    case 0:
      for (const auto& line : oxa::notary::parse_checkpoint_text(input)) {
        if (!line.checkpoint) continue;
        oxa::notary::CheckpointBody body;
        oxa::notary::check_checkpoint(*line.checkpoint, some_verifier(), body);
      }
      break;
    case 1:
      check_note(input);
      break;
    case 2: {
      oxa::notary::CheckpointBody body;
      oxa::notary::parse_checkpoint_body(input, body);
      break;
    }
    case 3: {
      oxa::notary::NoteVerifier verifier;
      oxa::notary::parse_verifier_key(input, verifier);
      oxa::notary::base64_decode(input);
      break;
    }
    case 4: {
      oxa::notary::TlogProof proof;
      if (oxa::notary::parse_tlog_proof(input, proof).empty()) {
        check_note(proof.checkpoint);
        oxa::notary::verify_inclusion(oxa::notary::leaf_hash(proof.extra), proof.index, proof.index + 1 + proof.path.size(),
                                      proof.path, oxa::notary::empty_tree_root());
      }
      break;
    }
  }
  return 0;
}
