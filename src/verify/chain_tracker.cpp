#include "verify/chain_tracker.hpp"

#include <cstring>

#include "engine/record_sealing.hpp"

namespace oxa::verify {

std::size_t ChainTracker::Hash32Hasher::operator()(const Hash32& h) const noexcept {
  // The bytes of a BLAKE3 output are already uniformly spread.
  std::size_t value;
  std::memcpy(&value, h.data(), sizeof value);
  return value;
}

ChainTracker::ChainTracker() : genesis_(genesis_root()) { extended_.reserve(fork_window); }

bool ChainTracker::extends(const Hash32& previous, const RecordFields& record) const {
  return next_chain_root(previous, record.hash) == record.merkle_root;
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
  if (extended_.size() < fork_window) {
    extended_.push_back(Extended{previous, line});
  } else {
    extended_[extended_next_] = Extended{previous, line};
    extended_next_ = (extended_next_ + 1) % fork_window;
  }
}

void ChainTracker::replay(std::uint32_t chain, std::uint64_t length, const RecordFields& record,
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
                                   const RecordFields& record) {
  auto it = heads_.find(root);
  if (it == heads_.end() || it->second < 2) return found;
  std::uint32_t first_replaying = none;
  std::uint32_t first_stopped = none;
  for (std::uint32_t c = found; c != none; c = older_[c]) {
    if (chains_[c].head != root) continue;
    if (!chains_[c].replaying) {
      if (first_stopped == none) first_stopped = c;
      continue;
    }
    if (first_replaying == none) first_replaying = c;
    if (replay_.matches(replay_.peek(c, length), record)) return c;
  }
  if (first_replaying != none) return first_replaying;
  return first_stopped != none ? first_stopped : found;
}

void ChainTracker::extend(std::uint32_t chain, std::uint64_t line, std::uint64_t length, const RecordFields& record,
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

Placement ChainTracker::place(std::uint64_t line, const RecordFields& record) {
  Placement placement;
  const std::uint64_t length = record.prompt.size() + record.output.size();

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
      if (extends(chains_[guess].head, record)) {
        extend(guess, line, length, record, placement);
        return placement;
      }
      tried = guess;
    }
  }

  if (extends(genesis_, record)) {
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
  for (std::uint32_t c = newest_; c != none; c = older_[c], ++depth) {
    if (c == tried || !extends(chains_[c].head, record)) continue;
    last_depth_ = depth;
    extend(choose(c, chains_[c].head, length, record), line, length, record, placement);
    return placement;
  }

  // No open root: a root extended before means a fork, anything else a break.
  // Either way the record begins a chain of its own, whose analysis state is
  // unknown, so its replay stops.
  placement.link = Link::chain_break;
  for (const Extended& earlier : extended_) {
    if (extends(earlier.root, record)) {
      placement.link = Link::fork;
      placement.earlier_line = earlier.line;
      break;
    }
  }
  placement.chain = new_chain(line, record.merkle_root, false);
  replay(placement.chain, length, record, placement);
  return placement;
}

}  // namespace oxa::verify
