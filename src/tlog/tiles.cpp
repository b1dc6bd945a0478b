#include "tlog/tiles.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <set>
#include <system_error>
#include <thread>

#include "common/file_status.hpp"

namespace oxa::tlog {

namespace {

// Tiles are written in batches: at most this many wait under a temporary
// name before one flush of the file system makes them durable and they are
// renamed, so that sealing a long log at once keeps few files pending.
constexpr std::size_t pending_tile_limit = 1024;

std::string os_error(const std::string& path, int error) { return path + ": " + std::strerror(error); }

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : (slash == 0 ? std::string("/") : path.substr(0, slash));
}

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do fd = ::open(path, flags, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// Creates `path` and its missing parents; each directory made is added to
// `created_in`'s set as the directory whose entry must be made durable.
void make_directories(const std::string& path, std::set<std::string>& created_in) {
  FileStatus status;
  if (path_status(path.c_str(), status) == 0) {
    if (!status.directory()) throw TileError(path + " is not a directory");
    return;
  }
  const std::string parent = parent_of(path);
  if (parent != path) make_directories(parent, created_in);
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) throw TileError(os_error(path, errno));
  created_in.insert(parent);
}

void write_all(int fd, const std::string& path, const void* data, std::size_t size) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, at, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw TileError(os_error(path, errno));
    }
    at += n;
    size -= static_cast<std::size_t>(n);
  }
}

void sync_path(const std::string& path, bool directory) {
  const int fd = open_retrying(path.c_str(), (directory ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) throw TileError(os_error(path, errno));
  const int result = ::fsync(fd);
  const int error = errno;
  ::close(fd);
  if (result != 0) throw TileError(os_error(path, error));
}

// Makes the files (or directories) at `paths`, all on the file system that
// holds `inside`, durable: a few by one fsync each, many by one flush of
// that file system rather than one per file, each of which would wait for
// the storage's cache on its own. A flush of the whole file system also
// writes whatever else is pending on it (the log's own new lines, other
// programs' files), which can take far longer than a few files' fsync: it
// is kept for the many tiles of a long stretch of log.
void make_durable(const std::vector<std::string>& paths, bool directories, const std::string& inside) {
  constexpr std::size_t fsync_each_limit = 16;
  if (paths.size() <= fsync_each_limit) {
    // One thread a file: each fsync mostly waits for the storage, and the
    // waits overlap instead of adding up.
    std::vector<std::exception_ptr> failures(paths.size());
    std::vector<std::thread> threads;
    auto sync_one = [&](std::size_t i) {
      try {
        sync_path(paths[i], directories);
      } catch (...) {
        failures[i] = std::current_exception();
      }
    };
    for (std::size_t i = 1; i < paths.size(); ++i) {
      try {
        threads.emplace_back(sync_one, i);
      } catch (const std::system_error&) {
        sync_one(i);  // no thread to be had: this one waits in turn
      }
    }
    if (!paths.empty()) sync_one(0);
    for (std::thread& thread : threads) thread.join();
    for (const std::exception_ptr& failure : failures)
      if (failure) std::rethrow_exception(failure);
    return;
  }
  const int fd = open_retrying(inside.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw TileError(os_error(inside, errno));
  const int result = ::syncfs(fd);
  const int error = errno;
  ::close(fd);
  if (result != 0) throw TileError(os_error(inside, error));
}

// The whole file, or false when it does not exist.
bool read_file(const std::string& path, std::string& out) {
  const int fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    throw TileError(os_error(path, errno));
  }
  out.clear();
  char buffer[1 << 14];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      throw TileError(os_error(path, error));
    }
    if (n == 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

std::string tile_bytes(const std::vector<TreeHash>& hashes) {
  std::string out;
  out.reserve(hashes.size() * tree_hash_bytes);
  for (const TreeHash& hash : hashes) out.append(reinterpret_cast<const char*>(hash.data()), hash.size());
  return out;
}

std::string join(const std::string& directory, std::string_view name) {
  return directory.empty() || directory.back() == '/' ? directory + std::string(name)
                                                      : directory + "/" + std::string(name);
}

}  // namespace

std::string tile_path(int level, std::uint64_t index, std::uint64_t width) {
  // Three digits a path element, from the most significant; all but the last
  // carry the "x" prefix.
  std::vector<unsigned> groups;
  do {
    groups.push_back(static_cast<unsigned>(index % 1000));
    index /= 1000;
  } while (index > 0);
  std::string out = "tile/" + std::to_string(level) + "/";
  for (std::size_t i = groups.size(); i-- > 0;) {
    char element[8];
    std::snprintf(element, sizeof element, i > 0 ? "x%03u/" : "%03u", groups[i]);
    out += element;
  }
  if (width < tile_width) out += ".p/" + std::to_string(width);
  return out;
}

// ---- reading

TileReader::TileReader(std::string directory, std::uint64_t tree_size)
    : directory_(std::move(directory)), size_(tree_size) {}

const std::vector<TreeHash>& TileReader::tile(int level, std::uint64_t index) {
  const auto key = std::make_pair(level, index);
  if (auto found = cache_.find(key); found != cache_.end()) return found->second;
  const std::uint64_t hashes_at_level = size_ >> (tile_height * level);
  if (index * tile_width >= hashes_at_level)
    throw TileError("tile " + tile_path(level, index, tile_width) + " is beyond a tree of " + std::to_string(size_));
  const std::uint64_t width = std::min(tile_width, hashes_at_level - index * tile_width);
  const std::string path = join(directory_, tile_path(level, index, width));
  std::string bytes;
  bool found = read_file(path, bytes);
  if (!found && width < tile_width) found = read_file(join(directory_, tile_path(level, index, tile_width)), bytes);
  if (!found) throw TileError(path + ": no such tile");
  if (bytes.size() < width * tree_hash_bytes ||
      (bytes.size() != width * tree_hash_bytes && bytes.size() != tile_width * tree_hash_bytes))
    throw TileError(path + ": holds " + std::to_string(bytes.size()) + " bytes, not " +
                    std::to_string(width * tree_hash_bytes));
  std::vector<TreeHash> hashes(width);
  for (std::uint64_t i = 0; i < width; ++i)
    std::memcpy(hashes[i].data(), bytes.data() + i * tree_hash_bytes, tree_hash_bytes);
  return cache_.emplace(key, std::move(hashes)).first->second;
}

TreeHash TileReader::subtree_hash(const Subtree& subtree) {
  if (subtree.height < 0 || subtree.height >= 64 ||
      subtree.index >= (size_ >> subtree.height) )
    throw TileError("no subtree of height " + std::to_string(subtree.height) + " at " +
                    std::to_string(subtree.index) + " in a tree of " + std::to_string(size_));
  const int level = subtree.height / tile_height;
  const int rest = subtree.height % tile_height;
  const std::uint64_t first = subtree.index << rest;
  const std::uint64_t count = std::uint64_t{1} << rest;
  const std::vector<TreeHash>& hashes = tile(level, first / tile_width);
  std::vector<TreeHash> row(hashes.begin() + static_cast<std::ptrdiff_t>(first % tile_width),
                            hashes.begin() + static_cast<std::ptrdiff_t>(first % tile_width + count));
  for (std::size_t n = row.size(); n > 1; n /= 2)
    for (std::size_t i = 0; i < n / 2; ++i) row[i] = node_hash(row[2 * i], row[2 * i + 1]);
  return row.front();
}

std::vector<TreeHash> TileReader::frontier() {
  std::vector<TreeHash> out;
  std::uint64_t at = 0;
  for (int height = 63; height >= 0; --height) {
    const std::uint64_t block = std::uint64_t{1} << height;
    if (size_ & block) {
      out.push_back(subtree_hash({height, at >> height}));
      at += block;
    }
  }
  return out;
}

TreeHash TileReader::root() { return root_from_frontier(frontier()); }

std::vector<TreeHash> TileReader::inclusion_proof(std::uint64_t index, std::uint64_t size) {
  if (size > size_) throw TileError("a tree of " + std::to_string(size) + " is beyond one of " + std::to_string(size_));
  if (index >= size)
    throw TileError("leaf " + std::to_string(index) + " is not in a tree of " + std::to_string(size));
  std::vector<TreeHash> out;
  for (const LeafRange& range : inclusion_ranges(index, size))
    out.push_back(range_hash(range, [this](const Subtree& s) { return subtree_hash(s); }));
  return out;
}

std::vector<TreeHash> TileReader::consistency_proof(std::uint64_t old_size, std::uint64_t new_size) {
  if (new_size > size_)
    throw TileError("a tree of " + std::to_string(new_size) + " is beyond one of " + std::to_string(size_));
  if (old_size > new_size)
    throw TileError("a tree of " + std::to_string(old_size) + " is not within one of " + std::to_string(new_size));
  std::vector<TreeHash> out;
  for (const LeafRange& range : consistency_ranges(old_size, new_size))
    out.push_back(range_hash(range, [this](const Subtree& s) { return subtree_hash(s); }));
  return out;
}

// ---- writing

TileWriter::TileWriter(std::string directory, bool check_existing)
    : directory_(std::move(directory)), check_existing_(check_existing) {}

TileWriter::~TileWriter() {
  stop_worker();
  // Tiles never made durable are left out, not renamed into place half-synced.
  for (const auto& [temporary, final_path] : pending_) ::unlink(temporary.c_str());
}

bool TileWriter::resume(std::uint64_t size) {
  drain();
  open_.clear();
  durable_width_.clear();
  size_ = 0;
  TileReader reader(directory_, size);
  std::vector<std::vector<TreeHash>> open;
  try {
    for (int level = 0; (size >> (tile_height * level)) > 0; ++level) {
      const std::uint64_t hashes_at_level = size >> (tile_height * level);
      const std::uint64_t width = hashes_at_level % tile_width;
      open.emplace_back();
      if (width > 0) open.back() = reader.tile(level, hashes_at_level / tile_width);
    }
  } catch (const TileError&) {
    return false;
  }
  open_ = std::move(open);
  // Only what this writer made durable itself is not written again: a
  // partial tile found here may be one a crash left between its rename and
  // the flush of its directory.
  durable_width_.assign(open_.size(), 0);
  size_ = size;
  return true;
}

void TileWriter::leaf(const TreeHash& hash) {
  ++size_;
  push(0, hash);
}

void TileWriter::subtree(int height, const TreeHash& hash) { push(height / tile_height, hash); }

void TileWriter::push(int level, const TreeHash& hash) {
  const auto at = static_cast<std::size_t>(level);
  if (open_.size() <= at) {
    open_.resize(at + 1);
    durable_width_.resize(at + 1, 0);
  }
  std::vector<TreeHash>& row = open_[at];
  row.push_back(hash);
  if (row.size() == tile_width) {
    const std::uint64_t hashes_at_level = size_ >> (tile_height * level);
    store(level, (hashes_at_level - 1) / tile_width, row);
    row.clear();
    durable_width_[at] = 0;
  }
}

void TileWriter::store(int level, std::uint64_t index, const std::vector<TreeHash>& hashes) {
  Job job{join(directory_, tile_path(level, index, hashes.size())), tile_bytes(hashes)};
  if (check_existing_) {
    std::string existing;
    if (read_file(job.final_path, existing)) {
      if (existing != job.bytes) throw TileError("tile " + job.final_path + " does not match the log");
      return;
    }
    write_tile(job);
    return;
  }
  // A bounded queue: the hashing waits for the file system rather than
  // holding the tiles of a whole log in memory.
  constexpr std::size_t queued_tile_limit = 256;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!worker_.joinable()) worker_ = std::thread(&TileWriter::work, this);
  changed_.wait(lock, [this] { return jobs_.size() < queued_tile_limit || failure_; });
  if (failure_) std::rethrow_exception(failure_);
  jobs_.push_back(std::move(job));
  // The thread is woken for a batch of tiles, not for each: a wake-up from
  // another core costs about as much as writing a tile. drain() wakes it for
  // the rest.
  constexpr std::size_t tiles_per_wake = 16;
  if (jobs_.size() >= tiles_per_wake) changed_.notify_all();
}

void TileWriter::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (stopping_) return;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    busy_ = true;
    changed_.notify_all();
    lock.unlock();
    std::exception_ptr failure;
    try {
      write_tile(job);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    busy_ = false;
    if (failure) {
      // Nothing after a failed tile is written: the caller hears of it at its next call.
      failure_ = failure;
      jobs_.clear();
    }
    changed_.notify_all();
  }
}

void TileWriter::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.notify_all();
  changed_.wait(lock, [this] { return (jobs_.empty() && !busy_) || failure_; });
  if (failure_) std::rethrow_exception(failure_);
}

void TileWriter::stop_worker() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void TileWriter::write_tile(const Job& job) {
  const std::string& final_path = job.final_path;
  const std::string& bytes = job.bytes;
  // Tiles come in order, most of them to the directory of the one before.
  std::set<std::string> created_in;
  std::string parent = parent_of(final_path);
  if (parent != last_parent_) {
    make_directories(parent, created_in);
    last_parent_ = std::move(parent);
  }
  const std::string temporary = final_path + ".tmp";
  const int fd = open_retrying(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) throw TileError(os_error(temporary, errno));
  try {
    write_all(fd, temporary, bytes.data(), bytes.size());
  } catch (...) {
    ::close(fd);
    ::unlink(temporary.c_str());
    throw;
  }
  ::close(fd);
  pending_.emplace_back(temporary, final_path);
  // New directories' entries are made durable with the tiles' own.
  for (const std::string& directory : created_in) pending_.emplace_back(std::string(), directory);
  if (pending_.size() >= pending_tile_limit) settle();
}

void TileWriter::settle() {
  if (pending_.empty()) return;
  // The tiles' data first, then the renames, then the directories that hold
  // them: a tile is under its name only once its bytes are durable, and
  // everything is durable before flush() returns. Each step is one flush to
  // storage, whatever the number of tiles.
  std::vector<std::string> files;
  std::set<std::string> directories;
  for (const auto& [temporary, final_path] : pending_) {
    if (temporary.empty()) {
      directories.insert(final_path);
    } else {
      files.push_back(temporary);
    }
  }
  make_durable(files, false, directory_);
  for (const auto& [temporary, final_path] : pending_) {
    if (temporary.empty()) continue;
    if (::rename(temporary.c_str(), final_path.c_str()) != 0) throw TileError(os_error(final_path, errno));
    directories.insert(parent_of(final_path));
  }
  pending_.clear();
  make_durable(std::vector<std::string>(directories.begin(), directories.end()), true, directory_);
}

void TileWriter::flush() {
  for (std::size_t level = 0; level < open_.size(); ++level) {
    if (open_[level].empty() || durable_width_[level] == open_[level].size()) continue;
    const std::uint64_t hashes_at_level = size_ >> (tile_height * level);
    store(static_cast<int>(level), hashes_at_level / tile_width, open_[level]);
  }
  drain();
  std::set<std::string> created_in;
  make_directories(directory_, created_in);
  for (const std::string& directory : created_in) pending_.emplace_back(std::string(), directory);
  settle();
  for (std::size_t level = 0; level < open_.size(); ++level) durable_width_[level] = open_[level].size();
}

void TileWriter::publish_checkpoint(std::string_view note) {
  std::set<std::string> created_in;
  make_directories(directory_, created_in);
  const std::string final_path = join(directory_, checkpoint_file_name);
  const std::string temporary = final_path + ".tmp";
  const int fd = open_retrying(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) throw TileError(os_error(temporary, errno));
  try {
    write_all(fd, temporary, note.data(), note.size());
    if (::fsync(fd) != 0) throw TileError(os_error(temporary, errno));
  } catch (...) {
    ::close(fd);
    ::unlink(temporary.c_str());
    throw;
  }
  ::close(fd);
  if (::rename(temporary.c_str(), final_path.c_str()) != 0) throw TileError(os_error(final_path, errno));
  sync_path(directory_, true);
  for (const std::string& directory : created_in) sync_path(directory, true);
}

std::string TileWriter::published_checkpoint() const {
  std::string out;
  read_published_checkpoint(directory_, out);
  return out;
}

bool read_published_checkpoint(const std::string& directory, std::string& note) {
  if (read_file(join(directory, checkpoint_file_name), note)) return true;
  note.clear();
  return false;
}

}  // namespace oxa::tlog
