#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "common/blake3_hash.hpp"
#include "store/signing_key.hpp"

namespace oxa::verify {

// Checks Ed25519 signatures of content hashes, the one costly step of a
// verification, on several threads. Records are gathered into batches;
// `jobs` threads share the work: jobs - 1 workers, and the calling thread,
// which does its own sequential work between batches and takes a batch
// itself whenever the workers fall behind.
class SignatureChecker {
 public:
  SignatureChecker(const PublicKey& key, unsigned jobs);
  ~SignatureChecker();
  SignatureChecker(const SignatureChecker&) = delete;
  SignatureChecker& operator=(const SignatureChecker&) = delete;

  void add(std::uint64_t line, const Hash32& hash, const Signature& signature);

  // Waits for every check; the lines whose signature does not verify, in order.
  std::vector<std::uint64_t> finish();

 private:
  struct Item {
    std::uint64_t line;
    Hash32 hash;
    Signature signature;
  };
  using Batch = std::vector<Item>;

  void submit();
  void check(const Batch& batch);
  void work();

  PublicKey key_;
  Batch pending_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Batch> queue_;
  bool done_ = false;
  std::vector<std::uint64_t> bad_;
};

// The number of threads "all cores" means here: the processors this process may run on.
unsigned available_cores();

}  // namespace oxa::verify
