#include "verify/chain_tracker.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "engine/record_sealing.hpp"

namespace oxa::verify {

std::size_t ChainTracker::Hash32Hasher::operator()(const Hash32& h) const noexcept {
  // The bytes of a BLAKE3 output are already uniformly spread.
  std::size_t value;
  std::memcpy(&value, h.data(), sizeof value);
  return value;
}

ChainTracker::ChainTracker() : genesis_(genesis_root()), genesis_prefix_(root_prefix(genesis_)) {
  extended_.reserve(fork_window);
}

bool ChainTracker::extends(const RootPrefix& previous, const StepTarget& target) {
  const RootPrefix* candidates[1] = {&previous};
  return matching_prefixes(candidates, 1, target) != 0;
}

std::uint32_t ChainTracker::find_open(const StepTarget& target, std::uint32_t skip, std::size_t& depth) const {
  // Chains are gathered in order into batches of step_lanes; the first lane
  // that matches in the first batch with a match is the first in order.
  std::array<const RootPrefix*, step_lanes> batch;
  std::array<std::uint32_t, step_lanes> chains;
  std::array<std::size_t, step_lanes> depths;
  std::size_t filled = 0;
  std::size_t d = 0;
  for (std::uint32_t c = newest_;; c = older_[c], ++d) {
    const bool end = c == none;
    if (!end && c != skip) {
      batch[filled] = &prefixes_[c];
      chains[filled] = c;
      depths[filled] = d;
      ++filled;
    }
    if (filled == step_lanes || (end && filled > 0)) {
      if (const std::uint32_t mask = matching_prefixes(batch.data(), filled, target); mask != 0) {
        const int lane = std::countr_zero(mask);
        depth = depths[lane];
        return chains[lane];
      }
      filled = 0;
    }
    if (end) return none;
  }
}

const ChainTracker::Extended* ChainTracker::find_extended(const StepTarget& target) const {
  std::array<const RootPrefix*, step_lanes> batch;
  for (std::size_t first = 0; first < extended_.size(); first += step_lanes) {
    const std::size_t count = std::min(step_lanes, extended_.size() - first);
    for (std::size_t i = 0; i < count; ++i) batch[i] = &extended_[first + i].root;
    if (const std::uint32_t mask = matching_prefixes(batch.data(), count, target); mask != 0) {
      return &extended_[first + static_cast<std::size_t>(std::countr_zero(mask))];
    }
  }
  return nullptr;
}

std::uint32_t ChainTracker::new_chain(std::uint64_t line, const Hash32& head, bool replaying) {
  const std::uint32_t chain = replay_.add_chain();
  ChainInfo info;
  info.first_line = line;
  info.last_line = line;
  info.records = 1;
  info.head = head;
  info.replaying = replaying;
  chains_.push_back(info);
  prefixes_.push_back(root_prefix(head));
  newer_.push_back(none);
  older_.push_back(none);
  ++heads_[head];
  move_to_front(chain);
  return chain;
}

void ChainTracker::move_to_front(std::uint32_t chain) {
  if (newest_ == chain) return;
  // Unlink (a new chain is linked nowhere yet), then put in front.
  if (newer_[chain] != none) older_[newer_[chain]] = older_[chain];
  if (older_[chain] != none) newer_[older_[chain]] = newer_[chain];
  newer_[chain] = none;
  older_[chain] = newest_;
  if (newest_ != none) newer_[newest_] = chain;
  newest_ = chain;
}

void ChainTracker::set_head(std::uint32_t chain, const Hash32& head, std::uint64_t line) {
  const Hash32 previous = chains_[chain].head;
  auto it = heads_.find(previous);
  if (--it->second == 0) heads_.erase(it);
  ++heads_[head];
  chains_[chain].head = head;
  const Extended earlier{prefixes_[chain], line};
  prefixes_[chain] = root_prefix(head);
  if (extended_.size() < fork_window) {
    extended_.push_back(earlier);
  } else {
    extended_[extended_next_] = earlier;
    extended_next_ = (extended_next_ + 1) % fork_window;
  }
}

void ChainTracker::replay(std::uint32_t chain, std::uint64_t length, const logread::RecordFields& record,
                          Placement& placement) {
  if (!chains_[chain].replaying) {
    // The analysis keeps only the latest decisions: once the chain has shown
    // that many records since its state was lost, its replay starts again.
    if (replay_.observe(chain, length, record.reputation)) {
      chains_[chain].replaying = true;
      placement.replay_resumed = true;
    }
    return;
  }
  const AnalysisResult result = replay_.step(chain, length);
  placement.replay_checked = true;
  placement.replay_matched = replay_.matches(result, record);
  if (!placement.replay_matched) {
    placement.replay_message = replay_.mismatch_message(result, record);
    // After one altered record the replayed state no longer follows the
    // chain's own: every later record would differ too, so one is reported.
    chains_[chain].replaying = false;
    replay_.forget(chain);
  }
}

// Of the chains ending in `root`, the one this record belongs to: the most
// recent replaying chain whose replay it matches, else the most recent
// replaying one (whose replay then reports the mismatch), else one whose
// replay stopped. A chain that began at a fork or a break is taken last, so
// that a duplicated line does not shield the records after it from replay.
std::uint32_t ChainTracker::choose(std::uint32_t found, const Hash32& root, std::uint64_t length,
                                   const logread::RecordFields& record) {
  auto it = heads_.find(root);
  if (it == heads_.end() || it->second < 2) return found;
  std::uint32_t first_replaying = none;
  std::uint32_t first_stopped = none;
  // Chains already replayed without a match: another in the same state
  // (identical first records give many) does not match either.
  std::array<std::uint32_t, 8> unmatched;
  std::size_t unmatched_count = 0;
  for (std::uint32_t c = found; c != none; c = older_[c]) {
    if (chains_[c].head != root) continue;
    if (!chains_[c].replaying) {
      if (first_stopped == none) first_stopped = c;
      continue;
    }
    if (first_replaying == none) first_replaying = c;
    if (!replay_.reputation_allows(c, record)) continue;
    bool known = false;
    for (std::size_t i = 0; i < unmatched_count && !known; ++i) known = replay_.same_state(unmatched[i], c);
    if (known) continue;
    if (replay_.matches(replay_.peek(c, length), record)) return c;
    if (unmatched_count < unmatched.size()) unmatched[unmatched_count++] = c;
  }
  if (first_replaying != none) return first_replaying;
  return first_stopped != none ? first_stopped : found;
}

void ChainTracker::extend(std::uint32_t chain, std::uint64_t line, std::uint64_t length, const logread::RecordFields& record,
                          Placement& placement) {
  placement.link = Link::extended;
  placement.chain = chain;
  set_head(chain, record.merkle_root, line);
  ChainInfo& info = chains_[chain];
  info.last_line = line;
  ++info.records;
  move_to_front(chain);
  replay(chain, length, record, placement);
}

Placement ChainTracker::place(std::uint64_t line, const logread::RecordFields& record) {
  Placement placement;
  const std::uint64_t length = record.prompt.size() + record.output.size();
  const StepTarget target = step_target(record.hash, record.merkle_root);

  // Each root tried costs a hash, so the chain at the depth where the last
  // record found its own is tried first: with engines writing in turn, that
  // is the one. A record extends at most one root value (its merkle_root is
  // a hash of the root), so a hit there is the answer the full search below
  // would give, provided no other chain ends in that root (then choose()
  // must see them all) and the root is not genesis (then the record starts
  // a chain instead).
  std::uint32_t tried = none;
  {
    std::uint32_t guess = newest_;
    for (std::size_t depth = 0; depth < last_depth_ && guess != none; ++depth) guess = older_[guess];
    if (guess != none && chains_[guess].head != genesis_ && heads_.find(chains_[guess].head)->second == 1) {
      if (extends(prefixes_[guess], target)) {
        extend(guess, line, length, record, placement);
        return placement;
      }
      tried = guess;
    }
  }

  if (extends(genesis_prefix_, target)) {
    // Engines with identical first records share a root; the same record
    // again (same id) is a replay of it.
    const auto [first, fresh] = first_ids_.emplace(record.id, line);
    placement.link = fresh ? Link::started : Link::fork;
    if (!fresh) placement.earlier_line = first->second;
    placement.chain = new_chain(line, record.merkle_root, true);
    replay(placement.chain, length, record, placement);
    return placement;
  }

  std::size_t depth = 0;
  if (const std::uint32_t c = find_open(target, tried, depth); c != none) {
    last_depth_ = depth;
    extend(choose(c, chains_[c].head, length, record), line, length, record, placement);
    return placement;
  }

  // No open root: a root extended before means a fork, anything else a break.
  // Either way the record begins a chain of its own, whose analysis state is
  // unknown, so its replay stops.
  placement.link = Link::chain_break;
  if (const Extended* earlier = find_extended(target); earlier != nullptr) {
    placement.link = Link::fork;
    placement.earlier_line = earlier->line;
  }
  placement.chain = new_chain(line, record.merkle_root, false);
  replay(placement.chain, length, record, placement);
  return placement;
}

}  // namespace oxa::verify
