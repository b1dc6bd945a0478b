// libFuzzer target for what a witness reads from the network and from its
// operator, and a verifier from a checkpoint: add-checkpoint request bodies
// (checked against a stored state taken from the input too), cosignature
// lines and trust policies. The first byte picks the reader; the rest is its
// input.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tlog/cosignature.hpp"
#include "tlog/policy.hpp"
#include "tlog/signed_note.hpp"
#include "witness/add_checkpoint.hpp"

namespace {

const oxa::witness::Witness& some_witness() {
  static const oxa::witness::Witness witness = [] {
    const oxa::tlog::NoteSigner log("fuzz.example/log", oxa::SigningSeed{});
    std::vector<oxa::tlog::NoteVerifier> keys{log.verifier()};
    oxa::SigningSeed seed{};
    seed[0] = 1;
    return oxa::witness::Witness(std::make_unique<oxa::tlog::NoteSigner>("fuzz.example/witness", seed),
                                 std::move(keys));
  }();
  return witness;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0: {
      oxa::tlog::Policy policy;
      if (oxa::tlog::parse_policy(input, oxa::tlog::PolicyScope::complete, policy).empty()) {
        std::unique_ptr<bool[]> cosigned(new bool[policy.witnesses.size() + 1]());
        for (std::size_t i = 0; i < policy.witnesses.size(); ++i) cosigned[i] = (i + size) % 2;
        oxa::tlog::quorum_met(policy, {cosigned.get(), policy.witnesses.size()});
      }
      oxa::tlog::parse_policy(input, oxa::tlog::PolicyScope::logs_only, policy);
      break;
    }
    case 1:
    case 2: {
      // Requests that pass the signature check are rare from random bytes;
      // the proof check is reached with a parsed request and a stored state
      // made of the input's first bytes.
      oxa::witness::AddCheckpointRequest request;
      if (!oxa::witness::parse_add_checkpoint(input, request).empty()) break;
      oxa::witness::Submission submission;
      submission.old_size = request.old_size;
      submission.proof = request.proof;
      std::memcpy(&submission.checkpoint.size, data, std::min<std::size_t>(size, sizeof(std::uint64_t)));
      oxa::witness::StoredCheckpoint stored;
      stored.size = request.old_size;
      if (data[0] % 3 == 2) stored.root.emplace();
      oxa::witness::Witness::extends(submission, stored);
      some_witness().open(input);
      oxa::tlog::NoteVerifier cosigner;
      cosigner.name = "fuzz.example/witness";
      oxa::tlog::check_cosignature(input, cosigner);
      break;
    }
  }
  return 0;
}
