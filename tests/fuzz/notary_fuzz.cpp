// libFuzzer target for what the notary side reads from untrusted bytes:
// checkpoint files, signed notes and checkpoint bodies, verifier keys and
// tlog-proofs. The first byte picks the reader; the rest is its input.
#include <cstdint>
#include <string>
#include <string_view>

#include "tlog/base64_text.hpp"
#include "tlog/checkpoint.hpp"
#include "tlog/merkle_tree.hpp"
#include "tlog/signed_note.hpp"
#include "tlog/tlog_proof.hpp"

namespace {

const oxa::tlog::NoteVerifier& some_verifier() {
  static const oxa::tlog::NoteSigner signer("fuzz.example/log", oxa::SigningSeed{});
  static const oxa::tlog::NoteVerifier verifier = signer.verifier();
  return verifier;
}

void check_note(std::string_view note) {
  std::string text;
  if (oxa::tlog::open_note(note, some_verifier(), text) == oxa::tlog::NoteCheck::verified) {
    oxa::tlog::CheckpointBody body;
    oxa::tlog::parse_checkpoint_body(text, body);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 5) {
    case 0:
      for (const auto& line : oxa::tlog::parse_checkpoint_text(input)) {
        if (!line.checkpoint) continue;
        oxa::tlog::CheckpointBody body;
        oxa::tlog::check_checkpoint(*line.checkpoint, some_verifier(), body);
      }
      break;
    case 1:
      check_note(input);
      break;
    case 2: {
      oxa::tlog::CheckpointBody body;
      oxa::tlog::parse_checkpoint_body(input, body);
      break;
    }
    case 3: {
      oxa::tlog::NoteVerifier verifier;
      oxa::tlog::parse_verifier_key(input, verifier);
      oxa::tlog::base64_decode(input);
      break;
    }
    case 4: {
      oxa::tlog::TlogProof proof;
      if (oxa::tlog::parse_tlog_proof(input, proof).empty()) {
        check_note(proof.checkpoint);
        oxa::tlog::verify_inclusion(oxa::tlog::leaf_hash(proof.extra), proof.index, proof.index + 1 + proof.path.size(),
                                      proof.path, oxa::tlog::empty_tree_root());
      }
      break;
    }
  }
  return 0;
}
