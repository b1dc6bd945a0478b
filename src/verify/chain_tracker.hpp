#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/blake3_hash.hpp"
#include "logread/record_format.hpp"
#include "verify/chain_replay.hpp"
#include "verify/chain_step.hpp"

namespace oxa::verify {

// How a record joined the chains.
enum class Link {
  extended,     // it extends the head of a chain
  started,      // it extends genesis: a new engine's first record
  chain_break,  // it extends no root that is open: a record before it is missing, altered or out of order
  fork,         // it extends a root that another record already extended
};

// One chain as the report shows it.
struct ChainInfo {
  std::uint64_t first_line = 0;
  std::uint64_t last_line = 0;
  std::uint64_t records = 0;
  Hash32 head{};
  bool replaying = true;  // false after it began at a break or a fork, or after a replay mismatch,
                         // until its state is known again
};

struct Placement {
  Link link = Link::extended;
  std::uint32_t chain = 0;
  std::uint64_t earlier_line = 0;  // for a fork: the record that extended the same root before
  bool replay_checked = false;  // the chain's replay ran for this record
  bool replay_matched = false;
  std::string replay_message;   // what differed, when it ran and did not match
  bool replay_resumed = false;  // the chain's replay runs again from the next record
};

// Follows every engine's chain through a shared log: finds the open root
// that each record's merkle_root extends, counting roots with multiplicity,
// and replays the consistency analysis along each chain.
//
// Finding the root is the one step whose cost grows with the number of open
// chains: the chains are tried most recently extended first (genesis before
// all), so that a log with few engines active at a time stays linear however
// many have ever written to it. Each chain keeps the part of the chain step
// that depends on its root alone, and the rest is computed for many chains
// at once (see chain_step.hpp), so that trying a chain is a fraction of one
// hash even when thousands are open.
class ChainTracker {
 public:
  // Roots extended most recently, kept to tell a fork from a break.
  static constexpr std::size_t fork_window = 1024;

  ChainTracker();

  Placement place(std::uint64_t line, const logread::RecordFields& record);

  const std::vector<ChainInfo>& chains() const noexcept { return chains_; }

 private:
  struct Hash32Hasher {
    std::size_t operator()(const Hash32& h) const noexcept;
  };
  static constexpr std::uint32_t none = UINT32_MAX;

  std::uint32_t new_chain(std::uint64_t line, const Hash32& head, bool replaying);
  void move_to_front(std::uint32_t chain);
  void extend(std::uint32_t chain, std::uint64_t line, std::uint64_t length, const logread::RecordFields& record,
              Placement& placement);
  void set_head(std::uint32_t chain, const Hash32& head, std::uint64_t line);
  std::uint32_t choose(std::uint32_t found, const Hash32& root, std::uint64_t length, const logread::RecordFields& record);
  void replay(std::uint32_t chain, std::uint64_t length, const logread::RecordFields& record, Placement& placement);
  static bool extends(const RootPrefix& previous, const StepTarget& target);
  // The first open chain, most recently extended first and skipping `skip`,
  // whose head the record extends, with its depth in that order; none if no head.
  std::uint32_t find_open(const StepTarget& target, std::uint32_t skip, std::size_t& depth) const;

  Hash32 genesis_;
  RootPrefix genesis_prefix_;
  std::vector<RootPrefix> prefixes_;  // of each chain's head
  std::vector<ChainInfo> chains_;
  // Most recently extended first: a doubly linked list over chain indices.
  std::vector<std::uint32_t> newer_;
  std::vector<std::uint32_t> older_;
  std::uint32_t newest_ = none;
  // Where, counted from the most recently extended chain, the last record
  // found the chain it extends: engines writing in turn keep it fixed.
  std::size_t last_depth_ = 0;
  // How many chains end in each root (identical first records give equal roots).
  std::unordered_map<Hash32, std::uint32_t, Hash32Hasher> heads_;
  // Ids of records that extended genesis, with their lines: the same first
  // record again is a fork.
  std::unordered_map<std::string, std::uint64_t> first_ids_;
  struct Extended {
    RootPrefix root;
    std::uint64_t line;  // of the record that extended it
  };
  std::vector<Extended> extended_;  // a ring of the last fork_window roots extended
  // The first of them (in ring order) that the record extends, or nullptr.
  const Extended* find_extended(const StepTarget& target) const;
  std::size_t extended_next_ = 0;
  ChainReplay replay_;
};

}  // namespace oxa::verify
