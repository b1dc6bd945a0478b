#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tlog/merkle_tree.hpp"

// The tree's hashes as tiles (tlog-tiles): a tile at level L holds up to 256
// consecutive hashes of the tree's level 8L, a full one at
// tile/<L>/<N>, the right edge of a tree whose size is not a multiple of 256
// at tile/<L>/<N>.p/<W>. N is written in 3-digit path elements, all but the
// last prefixed with "x" (1234067: x001/x234/067). The directory also holds
// `checkpoint`, the latest signed note. Together they are a static log that
// any web server can serve.
namespace oxa::tlog {

inline constexpr std::uint64_t tile_width = std::uint64_t{1} << tile_height;  // hashes in a full tile
inline constexpr std::string_view checkpoint_file_name = "checkpoint";

// The directory's `checkpoint` (the signed note), or false when there is
// none. Throws TileError when it cannot be read.
bool read_published_checkpoint(const std::string& directory, std::string& note);

// "tile/<L>/<N>" for a full tile (width 256), "tile/<L>/<N>.p/<W>" otherwise.
std::string tile_path(int level, std::uint64_t index, std::uint64_t width);

// A tile that cannot be read or written, or whose content is not what the
// tree gives; the message names the file.
class TileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads hashes of a tree of a given size from a tile directory. A partial tile
// that is missing is read from the prefix of its full tile when that exists.
class TileReader {
 public:
  TileReader(std::string directory, std::uint64_t tree_size);

  std::uint64_t tree_size() const { return size_; }
  // The hash of a perfect subtree wholly inside the tree. Throws TileError.
  TreeHash subtree_hash(const Subtree& subtree);
  TreeHash leaf(std::uint64_t index) { return subtree_hash({0, index}); }
  // The frontier of the tree (largest subtree first) and its root.
  std::vector<TreeHash> frontier();
  TreeHash root();
  // The inclusion path of leaf `index` in the tree of `size` leaves, and the
  // consistency proof from `old_size` to `new_size`, for any sizes up to this
  // tree's: the perfect subtrees they are made of are this tree's too, so the
  // tiles of the largest tree give the proofs of every smaller one. Throw
  // TileError.
  std::vector<TreeHash> inclusion_proof(std::uint64_t index, std::uint64_t size);
  std::vector<TreeHash> consistency_proof(std::uint64_t old_size, std::uint64_t new_size);
  // The hashes of tile `index` of `level` as this tree has it: full, or as
  // wide as the tree's right edge. Throws TileError.
  const std::vector<TreeHash>& tile(int level, std::uint64_t index);

 private:

  std::string directory_;
  std::uint64_t size_;
  std::map<std::pair<int, std::uint64_t>, std::vector<TreeHash>> cache_;
};

// Writes the tiles of a growing tree. It is fed, in order, every leaf hash and
// every perfect subtree hash of a height that is a multiple of 8 as the tree
// completes it (TreeBuilder reports both). Full tiles are written as they
// fill, under a temporary name; flush() makes them and the partial tiles of
// the current size durable under their names, so that a checkpoint of that
// size can be published after it. A partial tile already durable under its
// name (the tree did not grow at its level since) is not written again.
//
// Full tiles are written by a thread of the writer's own, so that the file
// system's work on them overlaps the hashing of the next leaves; flush() waits
// for it, and a failure of its shows at the next call (TileError).
//
// In checking mode a tile that already exists is compared with what the tree
// gives instead of rewritten; a difference throws TileError. That is done on
// the calling thread.
class TileWriter : public SubtreeSink {
 public:
  explicit TileWriter(std::string directory, bool check_existing = false);
  ~TileWriter() override;
  TileWriter(const TileWriter&) = delete;
  TileWriter& operator=(const TileWriter&) = delete;

  // Continues a tree of `size` leaves from the tiles on disk (the partial
  // tiles at that size). False when they are missing or unreadable; the writer
  // is then empty and wants the tree from its first leaf.
  bool resume(std::uint64_t size);

  void leaf(const TreeHash& hash) override;
  void subtree(int height, const TreeHash& hash) override;

  std::uint64_t size() const { return size_; }
  const std::string& directory() const { return directory_; }
  // Makes every tile of the tree at its current size durable. Throws TileError.
  void flush();
  // Writes `checkpoint` (the signed note) durably, replacing the previous one.
  void publish_checkpoint(std::string_view note);
  // The published note, or "" when there is none.
  std::string published_checkpoint() const;

 private:
  // A tile to write under a temporary name: its final path and bytes.
  struct Job {
    std::string final_path;
    std::string bytes;
  };

  void push(int level, const TreeHash& hash);
  void store(int level, std::uint64_t index, const std::vector<TreeHash>& hashes);
  void write_tile(const Job& job);
  void settle();
  // The writing thread: takes jobs until told to stop.
  void work();
  // Waits until every job given is written; rethrows the thread's failure.
  void drain();
  void stop_worker() noexcept;

  std::string directory_;
  bool check_existing_;
  std::uint64_t size_ = 0;
  // For each level, the hashes of its tile still being filled.
  std::vector<std::vector<TreeHash>> open_;
  // For each level, how many hashes of its open tile are durable under that
  // partial tile's name (0: none): the width flush() need not write again.
  std::vector<std::uint64_t> durable_width_;
  // The directory the last tile went to, known to exist.
  std::string last_parent_;
  // Tiles written under a temporary name: (temporary, final) paths.
  std::vector<std::pair<std::string, std::string>> pending_;

  // Between the caller and the writing thread. last_parent_ and pending_
  // belong to the thread while it runs jobs, to the caller once drained.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  bool busy_ = false;      // the thread is writing a job taken off jobs_
  bool stopping_ = false;
  std::exception_ptr failure_;
  std::thread worker_;
};

}  // namespace oxa::tlog
