#include "verify/signature_checker.hpp"

#include <sched.h>
#include <sodium.h>

#include <algorithm>

namespace oxa::verify {

namespace {
// Large enough that handing a batch over costs little against its checks
// (about 15 ms of work), small enough to keep every thread busy to the end.
constexpr std::size_t batch_records = 256;
}  // namespace

unsigned available_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

SignatureChecker::SignatureChecker(const PublicKey& key, unsigned jobs) : key_(key) {
  if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");
  pending_.reserve(batch_records);
  const unsigned workers = jobs > 1 ? jobs - 1 : 0;
  workers_.reserve(workers);
  for (unsigned i = 0; i < workers; ++i) workers_.emplace_back([this] { work(); });
}

SignatureChecker::~SignatureChecker() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
    queue_.clear();
  }
  ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void SignatureChecker::add(std::uint64_t line, const Hash32& hash, const Signature& signature) {
  pending_.push_back(Item{line, hash, signature});
  if (pending_.size() == batch_records) submit();
}

void SignatureChecker::check(const Batch& batch) {
  std::vector<std::uint64_t> bad;
  for (const Item& item : batch) {
    if (crypto_sign_verify_detached(item.signature.data(), item.hash.data(), item.hash.size(), key_.data()) != 0) {
      bad.push_back(item.line);
    }
  }
  if (!bad.empty()) {
    std::lock_guard lock(mutex_);
    bad_.insert(bad_.end(), bad.begin(), bad.end());
  }
}

void SignatureChecker::submit() {
  if (pending_.empty()) return;
  Batch batch;
  batch.reserve(batch_records);
  batch.swap(pending_);
  if (workers_.empty()) {
    check(batch);
    return;
  }
  Batch own;
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(batch));
    // The workers are behind: this thread takes the oldest batch itself
    // rather than let the queue (and memory) grow.
    if (queue_.size() > 2 * workers_.size()) {
      own = std::move(queue_.front());
      queue_.pop_front();
    }
  }
  ready_.notify_one();
  if (!own.empty()) check(own);
}

void SignatureChecker::work() {
  for (;;) {
    Batch batch;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [this] { return done_ || !queue_.empty(); });
      if (queue_.empty()) return;
      batch = std::move(queue_.front());
      queue_.pop_front();
    }
    check(batch);
  }
}

std::vector<std::uint64_t> SignatureChecker::finish() {
  submit();
  // Help with what is left, then let the workers end.
  for (;;) {
    Batch batch;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) break;
      batch = std::move(queue_.front());
      queue_.pop_front();
    }
    check(batch);
  }
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
  std::lock_guard lock(mutex_);
  std::sort(bad_.begin(), bad_.end());
  return bad_;
}

}  // namespace oxa::verify
