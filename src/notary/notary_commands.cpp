#include "notary/notary_commands.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>

#include "common/file_status.hpp"
#include "common/os_error.hpp"
#include "logread/log_source.hpp"
#include "logread/log_start.hpp"
#include "notary/seal_position.hpp"
#include "store/file_io.hpp"
#include "tlog/base64_text.hpp"
#include "tlog/checkpoint.hpp"
#include "tlog/signed_note.hpp"
#include "tlog/tile_proofs.hpp"
#include "tlog/tiles.hpp"
#include "tlog/tlog_proof.hpp"

namespace oxa::notary {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view invalid_origin_message = "the origin must be one non-empty line of UTF-8 text";

struct NumberedCheckpoint {
  std::uint64_t line = 0;  // in the checkpoint file
  tlog::Checkpoint checkpoint;
};

std::string checkpoint_name(const std::string& path, const NumberedCheckpoint& entry) {
  return "the checkpoint of size " + std::to_string(entry.checkpoint.size) + " (line " +
         std::to_string(entry.line) + " of " + path + ")";
}

// The notary's state: its key and the tree over the lines read so far.
// Thrown out of a long read of the log when a follow is told to stop.
struct Stopped {};

struct Notary {
  const SealOptions* options = nullptr;
  // follow only: asked now and then while the whole log is read at the start.
  const std::function<bool()>* should_stop = nullptr;
  std::uint64_t lines_read = 0;
  // Lines longer than this are hashed while read and never held whole.
  std::size_t line_limit = logread::default_line_limit;

  void poll_stop() {
    constexpr std::uint64_t lines_between_stop_checks = 4096;
    if (should_stop && ++lines_read % lines_between_stop_checks == 0 && (*should_stop)()) throw Stopped{};
  }

  std::unique_ptr<tlog::NoteSigner> signer;
  std::string origin;
  std::string out_path;
  tlog::TreeBuilder tree;
  std::uint64_t bytes = 0;          // log bytes the tree's lines take
  std::uint64_t sealed_size = 0;    // size of the last checkpoint in the file
  std::uint64_t written = 0;
  std::unique_ptr<tlog::TileWriter> tiles;  // fed by `tree` when tiles are kept
  std::string last_note;                    // of the last checkpoint in the file
  // seal only: the log is one plain file whose offsets are the tree's, so the
  // end of its last sealed line can be kept for the next seal; `position_kept`
  // when the stored position already says where the tree's lines end.
  bool one_file = false;
  bool position_kept = false;

  void add_line(std::string_view text, std::uint64_t end_offset) { add_leaf(tlog::leaf_hash(text), end_offset); }
  void add_leaf(const tlog::TreeHash& leaf, std::uint64_t end_offset) {
    tree.append(leaf);
    bytes = end_offset;
  }

  // Appends a checkpoint when the tree grew past the last one.
  void checkpoint_if_grown() {
    if (tree.size() <= sealed_size) return;
    tlog::Checkpoint checkpoint;
    checkpoint.size = tree.size();
    checkpoint.bytes = bytes;
    checkpoint.frontier = tree.frontier();
    checkpoint.note = signer->sign(tlog::format_checkpoint_body({origin, tree.size(), tree.root()}));
    // The tiles first: a checkpoint is published only once every tile it
    // needs is durable, so any checkpoint a client sees can be proved from them.
    flush_tiles();
    // Cosigners check a consistency proof against these tiles: asked only now
    // that they are durable, and before the checkpoint is stored and published.
    if (options && options->cosign) checkpoint.note = with_cosignatures(checkpoint.note, checkpoint.size);
    try {
      tlog::append_checkpoint(out_path, checkpoint);
    } catch (const tlog::CheckpointFileError& error) {
      throw UnusableInputError(error.what());
    }
    sealed_size = tree.size();
    last_note = checkpoint.note;
    ++written;
    if (options && options->on_checkpoint) options->on_checkpoint(outcome());
    publish_last();
  }

  std::string with_cosignatures(const std::string& note, std::uint64_t size) const {
    const std::string lines = options->cosign({note, size, tiles ? std::string_view(tiles->directory()) : ""});
    if (lines.empty()) return note;
    std::string cosigned = note + lines;
    std::string text;
    // Still this notary's note over the same body: the lines added nothing but signatures.
    if (tlog::open_note(cosigned, signer->verifier(), text) == tlog::NoteCheck::verified &&
        text == std::string_view(note).substr(0, note.rfind("\n\n") + 1))
      return cosigned;
    if (options->on_warning)
      options->on_warning("the cosignatures for the checkpoint of size " + std::to_string(size) +
                          " are not well-formed signature lines: the checkpoint is stored without them");
    return note;
  }

  void flush_tiles() {
    if (!tiles) return;
    try {
      tiles->flush();
    } catch (const tlog::TileError& error) {
      throw UnusableInputError(std::string("tiles: ") + error.what());
    }
  }

  // Publishes the last checkpoint of the file in the tile directory, unless
  // it is there already (a crash may have come between the two).
  void publish_last() {
    if (!tiles || last_note.empty()) return;
    try {
      if (tiles->published_checkpoint() != last_note) tiles->publish_checkpoint(last_note);
    } catch (const tlog::TileError& error) {
      throw UnusableInputError(std::string("tiles: ") + error.what());
    }
  }

  NotaryOutcome outcome(int status = 0, std::string message = {}) const {
    NotaryOutcome out;
    out.status = status;
    out.message = std::move(message);
    out.size = tree.size();
    out.bytes = bytes;
    out.checkpoints_written = written;
    out.root = tlog::base64_encode(tree.root());
    out.origin = origin;
    out.checkpoint_file = out_path;
    return out;
  }
};

std::unique_ptr<tlog::NoteSigner> load_signer(const std::string& path, std::string* warning) {
  try {
    return tlog::read_key_file(path, warning);
  } catch (const tlog::KeyError& error) {
    throw UnusableInputError(error.what());
  }
}

std::string origin_not_key_name(const std::string& origin, const std::string& key_path, const std::string& name) {
  return "the origin \"" + origin + "\" is not the name of the key in " + key_path + " (\"" + name +
         "\"): leave --origin out to sign as \"" + name + "\", or use the key made for this origin";
}

std::vector<tlog::CheckpointLine> read_checkpoints(const std::string& path, bool missing_is_empty) {
  try {
    return tlog::read_checkpoint_file(path, missing_is_empty);
  } catch (const tlog::CheckpointFileError& error) {
    throw UnusableInputError(error.what());
  }
}

std::unique_ptr<logread::CompleteLines> open_log(const std::vector<std::string>& logs, const Notary& notary,
                                        std::uint64_t start, std::uint64_t first_number) {
  return std::make_unique<logread::CompleteLines>(logs, notary.line_limit, start, first_number);
}

// Sets up the notary from its key and checkpoint file. Every line of the
// file must be a checkpoint, in growing order; the last one (every one, for
// `all`) must be this key's, for this origin, with a frontier that gives the
// signed root. Returns "" or why the notary refuses.
std::string load_state(const SealOptions& options, Notary& notary, std::vector<NumberedCheckpoint>& history,
                       bool all) {
  if (!options.origin.empty() && !tlog::valid_origin(options.origin))
    throw UnusableInputError(std::string(invalid_origin_message));
  notary.options = &options;
  std::string warning;
  notary.signer = load_signer(options.key_path, &warning);
  if (!warning.empty() && options.on_warning) options.on_warning(warning);
  if (!options.origin.empty() && options.origin != notary.signer->name())
    throw UnusableInputError(origin_not_key_name(options.origin, options.key_path, notary.signer->name()));
  notary.origin = notary.signer->name();
  if (!tlog::valid_origin(notary.origin)) throw UnusableInputError(std::string(invalid_origin_message));
  notary.out_path = options.out_path.empty() ? default_checkpoint_path(options.logs) : options.out_path;
  for (tlog::CheckpointLine& line : read_checkpoints(notary.out_path, true)) {
    if (!line.checkpoint)
      return "line " + std::to_string(line.number) + " of " + notary.out_path + " is not a checkpoint: " + line.error;
    if (!history.empty() && (line.checkpoint->size < history.back().checkpoint.size ||
                             line.checkpoint->bytes < history.back().checkpoint.bytes))
      return "line " + std::to_string(line.number) + " of " + notary.out_path +
             " covers less of the log than the checkpoint before it";
    history.push_back({line.number, std::move(*line.checkpoint)});
  }
  if (!history.empty()) notary.last_note = history.back().checkpoint.note;
  if (options.tiles) {
    const std::string directory = options.tiles_dir.empty() ? default_tiles_path(notary.out_path) : options.tiles_dir;
    notary.tiles = std::make_unique<tlog::TileWriter>(directory, options.recheck);
    notary.tree.set_sink(notary.tiles.get());
  }
  const tlog::NoteVerifier verifier = notary.signer->verifier();
  for (std::size_t i = all ? 0 : (history.empty() ? 0 : history.size() - 1); i < history.size(); ++i) {
    tlog::CheckpointBody body;
    std::string error = tlog::check_checkpoint(history[i].checkpoint, verifier, body);
    if (error.empty() && body.origin != notary.origin) error = "its origin is " + body.origin;
    if (!error.empty()) return checkpoint_name(notary.out_path, history[i]) + " cannot be continued: " + error;
  }
  return {};
}

// Opens the files given just after the last sealed line, whose line feed must
// still be there; `base` is the offset in the logical log of the files' first
// byte. Returns "" with `source` ready, or why the notary refuses.
std::string open_after_sealed(const std::vector<std::string>& logs, const Notary& notary, std::uint64_t base,
                              std::unique_ptr<logread::CompleteLines>& source) {
  const std::uint64_t start = notary.bytes - base - 1;
  source = open_log(logs, notary, start, notary.sealed_size);
  logread::LogLine line;
  tlog::TreeHash leaf;
  // An unfinished line there is no leaf: `got` is false, as for no line.
  const bool got = source->next(line, leaf);
  if (!got && source->bytes_consumed() < start + 1)
    return "the log holds fewer than the " + std::to_string(notary.bytes) +
           " bytes sealed by the last checkpoint: it was truncated";
  if (!got || line.length != 0)
    return "byte " + std::to_string(notary.bytes) + " of the log is no longer the line feed that ended line " +
           std::to_string(notary.sealed_size) + " when it was sealed: the log was rewritten";
  return {};
}

// Rotated pieces are deleted in time: the files given may begin at an earlier
// checkpoint, which the next one's signed root proves. Finds where they begin
// in the logical log (`base`) and opens them after the last sealed line, as
// open_after_sealed does; false when no checkpoint fits.
bool open_after_deleted_pieces(const std::vector<std::string>& logs, const Notary& notary,
                               const std::vector<NumberedCheckpoint>& history, std::uint64_t& base,
                               std::unique_ptr<logread::CompleteLines>& source, std::size_t& start) {
  const tlog::NoteVerifier verifier = notary.signer->verifier();
  std::vector<logread::KnownCheckpoint> known;
  for (const NumberedCheckpoint& entry : history) {
    tlog::CheckpointBody body;
    if (!tlog::check_checkpoint(entry.checkpoint, verifier, body).empty() || body.origin != notary.origin) return false;
    known.push_back({&entry.checkpoint, body.root});
  }
  const std::size_t k = logread::find_later_start(logs, known, notary.line_limit);
  if (k >= known.size() || history[k].checkpoint.bytes >= notary.bytes) return false;
  base = history[k].checkpoint.bytes;
  start = k;
  return open_after_sealed(logs, notary, base, source).empty();
}

// The lines the last checkpoint covers must be what the log gives before its
// frontier is continued: its `bytes` is not signed, and one moved forward to
// the end of a later line would make the notary skip lines. Up to `bytes`
// the pieces must hold exactly its `size` lines, each ending in a line feed,
// and the lines of its smallest frontier block (the last line alone when
// the size is odd) must hash to that block's root. The pieces begin at the
// log's start, or at checkpoint `start` when older pieces are gone. Returns
// "" with the last sealed line in `last_line`, or why the notary refuses.
std::string check_sealed_lines(const std::vector<std::string>& logs, Notary& notary,
                               const NumberedCheckpoint& last, const tlog::Checkpoint* start, std::string& last_line) {
  const std::string& out_path = notary.out_path;
  const tlog::Checkpoint& sealed = last.checkpoint;
  const std::uint64_t start_size = start ? start->size : 0;
  const std::uint64_t base = start ? start->bytes : 0;
  const std::uint64_t block = sealed.size & (~sealed.size + 1);
  // A block reaching back before the pieces' first line is checked whole,
  // from the start checkpoint's frontier on.
  const bool whole = sealed.size - block < start_size;
  tlog::TreeBuilder tree;
  if (whole && start && !tree.resume(start->size, start->frontier))
    return checkpoint_name(out_path, last) + " cannot be continued: the checkpoint the log starts at is damaged";
  std::uint64_t count = start_size;
  std::uint64_t end = base;
  auto source = open_log(logs, notary, 0, 1);
  logread::LogLine line;
  // Only the lines of the block are hashed: the others are counted.
  while (end < sealed.bytes && count < sealed.size && source->next(line)) {
    notary.poll_stop();
    ++count;
    end = base + line.offset + line.length + 1;
    if (whole || count > sealed.size - block) tree.append(source->leaf(line));
    if (end == sealed.bytes) last_line.assign(line.text);
  }
  const std::string name = checkpoint_name(out_path, last);
  if (end != sealed.bytes || count != sealed.size)
    return name + " does not match the log: its first " + std::to_string(sealed.bytes) + " bytes hold " +
           (end == sealed.bytes ? std::to_string(count - start_size) + " lines, not " +
                                      std::to_string(sealed.size - start_size)
                                : "no line that ends where the checkpoint's bytes end") +
           "; refusing to continue from it";
  const bool matches = whole ? tree.frontier() == sealed.frontier
                             : !sealed.frontier.empty() && tree.root() == sealed.frontier.back();
  if (!matches)
    return name + " does not match the log: its last lines do not hash to the signed tree; refusing to continue "
                  "from it";
  return {};
}

// The end of the last checkpoint's lines, when this is a seal of one plain
// file whose stored position for that checkpoint still holds: the covered
// lines need not be read.
bool resume_at_position(const std::vector<std::string>& logs, const Notary& notary, const tlog::Checkpoint& last) {
  if (logs.size() != 1 || !notary.tiles || notary.should_stop) return false;
  SealPosition position;
  if (!read_seal_position(notary.tiles->directory(), position)) return false;
  return seal_position_holds(logs.front(), position, last, tlog::root_from_frontier(last.frontier),
                             notary.tiles->directory(), notary.line_limit);
}

// Opens the files given after the last checkpoint's lines, once they were
// found to hold exactly its lines (counted, and the last ones hashed).
std::string check_whole_sealed_part(const std::vector<std::string>& logs, Notary& notary,
                                    const std::vector<NumberedCheckpoint>& history,
                                    std::unique_ptr<logread::CompleteLines>& source, std::uint64_t& base) {
  const tlog::Checkpoint* start = nullptr;
  if (std::string refusal = open_after_sealed(logs, notary, 0, source); !refusal.empty()) {
    std::size_t k = 0;
    if (!open_after_deleted_pieces(logs, notary, history, base, source, k)) return refusal;
    start = &history[k].checkpoint;
  }
  std::string last_line;
  return check_sealed_lines(logs, notary, history.back(), start, last_line);
}

// Continues the tree from the last checkpoint's frontier, reading only the
// lines after its bytes; the byte just before them must still be the line
// feed that ended the last sealed line.
std::string continue_from_last(const std::vector<std::string>& logs, Notary& notary,
                               const std::vector<NumberedCheckpoint>& history) {
  std::unique_ptr<logread::CompleteLines> source;
  std::uint64_t base = 0;  // where the files given begin in the logical log
  if (history.empty() || history.back().checkpoint.bytes == 0) {
    source = open_log(logs, notary, 0, 1);
    if (!history.empty()) notary.sealed_size = history.back().checkpoint.size;
  } else {
    const tlog::Checkpoint& last = history.back().checkpoint;
    notary.tree.resume(last.size, last.frontier);
    notary.bytes = last.bytes;
    notary.sealed_size = last.size;
    if (resume_at_position(logs, notary, last)) {
      source = open_log(logs, notary, last.bytes, last.size + 1);
      notary.position_kept = true;
    } else {
      if (std::string refusal = check_whole_sealed_part(logs, notary, history, source, base); !refusal.empty())
        return refusal;
    }
  }
  notary.one_file = logs.size() == 1 && base == 0;
  logread::LogLine line;
  tlog::TreeHash leaf;
  // A line still being written is not a leaf yet: the reading stops before it.
  while (source->next(line, leaf)) notary.add_leaf(leaf, base + line.offset + line.length + 1);
  return {};
}

// Re-hashes the whole log, checking every checkpoint's root and bytes on the way.
std::string recheck_all(const std::vector<std::string>& logs, Notary& notary,
                        const std::vector<NumberedCheckpoint>& history, std::string* last_line = nullptr) {
  auto source = open_log(logs, notary, 0, 1);
  logread::LogLine line;
  tlog::TreeHash leaf;
  std::size_t next = 0;
  const tlog::NoteVerifier verifier = notary.signer->verifier();
  auto check_reached = [&]() -> std::string {
    while (next < history.size() && history[next].checkpoint.size == notary.tree.size()) {
      tlog::CheckpointBody body;
      tlog::check_checkpoint(history[next].checkpoint, verifier, body);
      if (body.root != notary.tree.root() || history[next].checkpoint.bytes != notary.bytes) {
        const std::uint64_t good = next == 0 ? 0 : history[next - 1].checkpoint.size;
        return checkpoint_name(notary.out_path, history[next]) +
               " does not match the log: lines " + std::to_string(good + 1) + " to " +
               std::to_string(history[next].checkpoint.size) +
               " are not what was signed; refusing to sign a history that contradicts it";
      }
      ++next;
    }
    return {};
  };
  if (std::string error = check_reached(); !error.empty()) return error;
  try {
    while (source->next(line, leaf)) {
      notary.poll_stop();
      notary.add_leaf(leaf, line.offset + line.length + 1);
      if (last_line) last_line->assign(line.text);
      if (std::string error = check_reached(); !error.empty()) return error;
    }
  } catch (const tlog::TileError& error) {
    return std::string("tiles: ") + error.what() + "; refusing to go on over tiles that contradict it";
  }
  if (next < history.size())
    return checkpoint_name(notary.out_path, history[next]) + " covers " +
           std::to_string(history[next].checkpoint.size) + " lines, but the log has only " +
           std::to_string(notary.tree.size()) + ": it was truncated";
  notary.sealed_size = history.empty() ? 0 : history.back().checkpoint.size;
  notary.one_file = logs.size() == 1;
  return {};
}

// Whether the tiles must be built from the log's first line: when they are
// checked (--recheck), or when those of the last checkpoint are missing or do
// not give its frontier (tiles never kept, or lost). Otherwise the writer goes
// on from them.
bool tiles_need_rebuild(const SealOptions& options, Notary& notary, const std::vector<NumberedCheckpoint>& history) {
  if (options.recheck) return true;
  if (!notary.tiles) return false;
  if (history.empty()) return false;
  const tlog::Checkpoint& last = history.back().checkpoint;
  if (notary.tiles->resume(last.size) && tlog::tiles_give_frontier(notary.tiles->directory(), last.size, last.frontier))
    return false;
  notary.tiles->resume(0);
  return true;
}

// The notary reads its logs to their end, more than once: a FIFO or a device
// given as a piece would wait for a writer or never end. Opened without
// waiting, and refused unless it is a regular file.
void refuse_unless_regular(const std::string& path) {
  if (path == logread::standard_input_name)
    throw UnusableInputError("the notary reads log files, not standard input");
  if (holds_nul(path)) throw UnusableInputError("log " + path + ": " + std::string(nul_in_path_rendering));
  const int fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) throw UnusableInputError("log " + path + ": " + describe_os_error(errno));
  FileStatus status;
  const int error = file_status(fd, status);
  ::close(fd);
  if (error) throw UnusableInputError("log " + path + ": " + describe_os_error(error));
  if (!status.regular()) throw UnusableInputError("log " + path + ": not a regular file (" + tlog::file_kind_text(status) + ")");
}

std::string prepare(const SealOptions& options, Notary& notary) {
  if (options.logs.empty()) throw UnusableInputError("no log given");
  for (const std::string& path : options.logs) refuse_unless_regular(path);
  std::vector<NumberedCheckpoint> history;
  if (std::string error = load_state(options, notary, history, options.recheck); !error.empty()) return error;
  return tiles_need_rebuild(options, notary, history) ? recheck_all(options.logs, notary, history)
                                                      : continue_from_last(options.logs, notary, history);
}

// Splits the bytes of the followed pieces into lines, as one stream: a line
// cut at the end of a rotated file continues in the next one.
class FollowedStream {
 public:
  // `position`: the logical offset of the next byte read; `last_line`: the
  // line that ends just before it (when continuing a checkpoint).
  FollowedStream(Notary& notary, std::uint64_t position, std::string last_line)
      : notary_(notary), position_(position), tail_(std::move(last_line)) {}

  // Reads `fd` to its current end, asking `should_stop` now and then on a
  // long read. Returns "" or why the notary refuses.
  std::string drain(int fd, const std::function<bool()>& should_stop) {
    constexpr int chunks_between_stop_checks = 256;  // 16 MiB
    char buffer[1 << 16];
    for (int chunk = 1;; ++chunk) {
      if (chunk % chunks_between_stop_checks == 0 && should_stop()) {
        interrupted_ = true;
        return {};
      }
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw UnusableInputError("reading the log: " + describe_os_error(errno));
      }
      if (n == 0) return {};
      if (std::string error = feed(std::string_view(buffer, static_cast<std::size_t>(n))); !error.empty())
        return error;
    }
  }
  std::uint64_t position() const { return position_; }
  bool interrupted() const { return interrupted_; }
  // The line feed that ended the last sealed line is read again first.
  void expect_line_feed_first() { expect_line_feed_ = true; }

  // The bytes just before position(), from the start of the last complete
  // line: what the file must still hold where they were read.
  struct Tail {
    std::uint64_t start = 0;  // logical offset of bytes[0], the start of a line
    std::string bytes;
  };
  Tail tail() const { return {position_ - tail_.size(), tail_}; }

 private:
  std::string feed(std::string_view data) {
    while (!data.empty()) {
      const std::size_t end = data.find('\n');
      if (end == std::string_view::npos) {
        partial_.append(data);
        tail_.append(data);
        position_ += data.size();
        return {};
      }
      partial_.append(data.substr(0, end));
      position_ += end + 1;
      data.remove_prefix(end + 1);
      if (expect_line_feed_) {
        expect_line_feed_ = false;
        if (!partial_.empty())
          return "byte " + std::to_string(notary_.bytes) + " of the log is no longer the line feed that ended line " +
                 std::to_string(notary_.sealed_size) + " when it was sealed: the log was rewritten";
        tail_ += '\n';
      } else {
        notary_.add_line(partial_, position_);
        tail_.assign(partial_);
        tail_ += '\n';
      }
      partial_.clear();
    }
    return {};
  }

  Notary& notary_;
  std::uint64_t position_;  // logical offset of the next byte read
  std::string partial_;     // the line being read, without its line feed yet
  std::string tail_;        // see Tail
  bool expect_line_feed_ = false;
  bool interrupted_ = false;
};

constexpr std::string_view rewritten_in_place =
    " was rewritten in place: the bytes already read are no longer there (it was truncated and written again)";

// Whether the live file, whose first byte is at logical offset `file_start`,
// still holds `tail` where it was read, and a line feed just before it. A
// log truncated and written again longer between two polls fails this:
// reading on from the old position would cut a leaf from a line's middle.
std::string check_unchanged(int fd, const FollowedStream::Tail& tail, std::uint64_t file_start,
                            const std::string& path) {
  const std::uint64_t from = std::max(tail.start, file_start);
  const std::string_view expected = std::string_view(tail.bytes).substr(from - tail.start);
  const bool line_feed_before = tail.start > file_start;
  const std::uint64_t offset = from - file_start - (line_feed_before ? 1 : 0);
  std::string found(expected.size() + (line_feed_before ? 1 : 0), '\0');
  int os_error = 0;
  const std::size_t got = read_at(fd, found.data(), found.size(), offset, os_error);
  if (os_error != 0) throw UnusableInputError("reading the log " + path + ": " + describe_os_error(os_error));
  if (got < found.size())
    return "the log " + path + " shrank below the bytes already read: it was truncated";
  if ((line_feed_before && found[0] != '\n') || std::string_view(found).substr(line_feed_before ? 1 : 0) != expected)
    return "the log " + path + std::string(rewritten_in_place);
  return {};
}

// Opens a piece to follow: a regular file only, opened without waiting (a
// FIFO at the name would wait for a writer, a device never end).
Descriptor open_piece(const std::string& path) {
  if (path == logread::standard_input_name || logread::gzip_piece(path))
    throw UnusableInputError("follow reads plain files only, not " + path);
  if (holds_nul(path)) throw UnusableInputError("log " + path + ": " + std::string(nul_in_path_rendering));
  const int fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) throw UnusableInputError("log " + path + ": " + describe_os_error(errno));
  Descriptor piece(fd);
  FileStatus status;
  if (const int error = file_status(fd, status)) throw UnusableInputError("log " + path + ": " + describe_os_error(error));
  if (!status.regular()) throw UnusableInputError("log " + path + ": not a regular file (" + tlog::file_kind_text(status) + ")");
  return piece;
}

std::uint64_t size_of(int fd, const std::string& path) {
  FileStatus status;
  if (const int error = file_status(fd, status)) throw UnusableInputError("log " + path + ": " + describe_os_error(error));
  return status.size;
}

// A service may start before the application that writes its log: waits
// until something is at `path`. False when stopped first.
bool wait_for_log(const std::string& path, const std::function<bool()>& should_stop, int poll_milliseconds) {
  for (;;) {
    FileStatus status;
    // Anything but a missing file is for the open to report.
    if (holds_nul(path) || path_status(path.c_str(), status) != ENOENT) return true;
    if (should_stop()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_milliseconds));
  }
}

}  // namespace

std::string default_checkpoint_path(const std::vector<std::string>& logs) {
  if (logs.empty() || logs.back() == logread::standard_input_name)
    throw UnusableInputError("a log read from standard input needs --out for its checkpoint file");
  return logs.back() + ".checkpoints";
}

std::string default_tiles_path(const std::string& checkpoint_path) {
  constexpr std::string_view suffix = ".checkpoints";
  if (checkpoint_path.size() > suffix.size() && checkpoint_path.ends_with(suffix))
    return checkpoint_path.substr(0, checkpoint_path.size() - suffix.size()) + ".tiles";
  return checkpoint_path + ".tiles";
}

std::string keygen(const std::string& key_path, const std::string& name) {
  try {
    return tlog::generate_key_file(key_path, name);
  } catch (const tlog::KeyError& error) {
    throw UnusableInputError(error.what());
  }
}

KeyInfo key_info(const std::string& key_path) {
  KeyInfo info;
  const std::unique_ptr<tlog::NoteSigner> signer = load_signer(key_path, &info.warning);
  info.name = signer->name();
  info.verifier_key = tlog::format_verifier_key(signer->verifier());
  return info;
}

NotaryOutcome seal(const SealOptions& options) try {
  Notary notary;
  notary.line_limit = options.line_limit;
  // The log's identity before it is read: should it be replaced meanwhile,
  // the position kept below names the file read and is not used for the new one.
  FileStatus log_status;
  const bool log_known = options.logs.size() == 1 && !logread::gzip_piece(options.logs.front()) &&
                         path_status(options.logs.front().c_str(), log_status) == 0 && log_status.regular();
  if (std::string refusal = prepare(options, notary); !refusal.empty()) return notary.outcome(1, refusal);
  const bool grew = notary.tree.size() > notary.sealed_size;
  notary.checkpoint_if_grown();
  if (!grew) {
    // Tiles built or checked for the checkpoints already there.
    notary.flush_tiles();
    notary.publish_last();
  }
  // Kept once the checkpoint is stored and published, so that it never says
  // more than the checkpoint file holds.
  if (log_known && notary.one_file && notary.tiles && notary.tree.size() > 0 && (grew || !notary.position_kept))
    write_seal_position(notary.tiles->directory(),
                        {notary.tree.size(), notary.bytes, log_status.device, log_status.inode});
  return notary.outcome(0, grew ? "sealed " + std::to_string(notary.tree.size()) + " lines"
                                : "no new lines since the last checkpoint");
} catch (const tlog::TileError& error) {
  throw UnusableInputError(std::string("tiles: ") + error.what());
}

namespace {
// The follow once its key, checkpoint file and live log are there.
NotaryOutcome follow_log(const SealOptions& options, const std::function<bool()>& should_stop, int poll_milliseconds,
                         Notary& notary, std::vector<NumberedCheckpoint>& history);
}  // namespace

NotaryOutcome follow(const SealOptions& options, const std::function<bool()>& should_stop,
                     int poll_milliseconds) try {
  if (options.logs.empty()) throw UnusableInputError("no log given");
  Notary notary;
  // A follow keeps the last sealed line's bytes, to tell a log rewritten in
  // place, and the line being written: lines are held whole here.
  notary.line_limit = 0;
  std::vector<NumberedCheckpoint> history;
  if (std::string refusal = load_state(options, notary, history, options.recheck); !refusal.empty())
    return notary.outcome(1, refusal);
  const std::string& live_path = options.logs.back();
  if (!wait_for_log(live_path, should_stop, poll_milliseconds))
    return notary.outcome(0, "stopped before the log " + live_path + " appeared; nothing sealed");
  notary.should_stop = &should_stop;
  try {
    return follow_log(options, should_stop, poll_milliseconds, notary, history);
  } catch (const Stopped&) {
    return notary.outcome(0, "stopped while reading the log, before sealing; nothing sealed");
  }
} catch (const tlog::TileError& error) {
  throw UnusableInputError(std::string("tiles: ") + error.what());
}

namespace {

NotaryOutcome follow_log(const SealOptions& options, const std::function<bool()>& should_stop, int poll_milliseconds,
                         Notary& notary, std::vector<NumberedCheckpoint>& history) {
  const std::string& live_path = options.logs.back();
  std::vector<Descriptor> pieces;
  for (const std::string& path : options.logs) pieces.push_back(open_piece(path));

  std::string last_line;  // the last sealed line, which the live file must keep
  const bool rehash = tiles_need_rebuild(options, notary, history);
  if (rehash) {
    if (std::string refusal = recheck_all(options.logs, notary, history, &last_line); !refusal.empty())
      return notary.outcome(1, refusal);
    notary.flush_tiles();
    notary.publish_last();
    // The re-hash read everything; continue from where it ended.
    history.clear();
    history.push_back({0, tlog::Checkpoint{notary.tree.size(), notary.bytes, notary.tree.frontier(), {}}});
    notary.tree = tlog::TreeBuilder();
    notary.tree.set_sink(notary.tiles.get());
  } else {
    notary.publish_last();
  }
  const std::uint64_t resume_bytes = history.empty() ? 0 : history.back().checkpoint.bytes;
  const std::uint64_t sealed_before = notary.sealed_size;
  if (!history.empty()) {
    notary.tree.resume(history.back().checkpoint.size, history.back().checkpoint.frontier);
    notary.bytes = resume_bytes;
  }
  notary.sealed_size = sealed_before;

  // Where the pieces given begin in the logical log: at its start, or at the
  // checkpoint they start at when older pieces are gone.
  std::uint64_t base = 0;
  if (resume_bytes > 0 && !rehash) {
    const tlog::Checkpoint* start = nullptr;
    std::unique_ptr<logread::CompleteLines> probe;
    if (!open_after_sealed(options.logs, notary, 0, probe).empty()) {
      std::uint64_t later = 0;
      std::size_t k = 0;
      if (open_after_deleted_pieces(options.logs, notary, history, later, probe, k)) {
        base = later;
        start = &history[k].checkpoint;
      }
    }
    if (std::string refusal = check_sealed_lines(options.logs, notary, history.back(), start, last_line);
        !refusal.empty())
      return notary.outcome(1, refusal);
  }
  const std::uint64_t resume_at = resume_bytes == 0 ? 0 : resume_bytes - 1;
  FollowedStream stream(notary, resume_at, resume_bytes == 0 ? std::string() : last_line);
  if (resume_bytes > 0) stream.expect_line_feed_first();
  // Position every piece at the resume point: the byte before it must still
  // be a line feed.
  const std::uint64_t start = resume_at - base;  // in the pieces given
  std::uint64_t piece_start = 0;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const std::uint64_t size = size_of(pieces[i].get(), options.logs[i]);
    const bool live = i + 1 == pieces.size();
    if (piece_start + size <= start && !live) {
      piece_start += size;
      continue;
    }
    if (start > piece_start) {
      if (start - piece_start > size)
        return notary.outcome(1, "the log holds fewer than the " + std::to_string(resume_bytes) +
                                     " bytes sealed by the last checkpoint: it was truncated");
      ::lseek(pieces[i].get(), static_cast<off_t>(start - piece_start), SEEK_SET);
    }
    if (!live) {
      if (std::string refusal = stream.drain(pieces[i].get(), should_stop); !refusal.empty())
        return notary.outcome(1, refusal);
      piece_start += size;
    }
  }

  Descriptor live = std::move(pieces.back());
  pieces.clear();
  FileStatus live_status;
  if (const int error = file_status(live.get(), live_status))
    throw UnusableInputError("log " + live_path + ": " + describe_os_error(error));
  std::uint64_t live_start = base + piece_start;  // logical offset of the live file's first byte

  auto last_checkpoint_time = Clock::now();
  auto checkpoint = [&] {
    notary.checkpoint_if_grown();
    last_checkpoint_time = Clock::now();
  };
  const auto interval = std::chrono::duration<double>(options.seconds);
  // Reads what the live file gained since the last poll, after checking that
  // what was read before is still where it was, and again after the read
  // when the file grew meanwhile (a rewrite may land between the two).
  auto read_live = [&]() -> std::string {
    FileStatus now;
    if (file_status(live.get(), now) == 0 && now.size < stream.position() - live_start)
      return "the log " + live_path + " shrank below the bytes already read: it was truncated";
    const FollowedStream::Tail before = stream.tail();
    if (std::string refusal = check_unchanged(live.get(), before, live_start, live_path); !refusal.empty())
      return refusal;
    const std::uint64_t read_from = stream.position();
    if (std::string refusal = stream.drain(live.get(), should_stop); !refusal.empty()) return refusal;
    if (stream.position() != read_from)
      return check_unchanged(live.get(), before, live_start, live_path);
    return {};
  };

  for (;;) {
    bool stopping = should_stop();
    if (std::string refusal = read_live(); !refusal.empty()) return notary.outcome(1, refusal);
    stopping = stopping || stream.interrupted();

    const std::uint64_t pending = notary.tree.size() - notary.sealed_size;
    if (stopping) {
      checkpoint();
      return notary.outcome(0, "stopped after " + std::to_string(notary.written) + " checkpoints; sealed " +
                                   std::to_string(notary.sealed_size) + " lines");
    }
    if (pending >= std::max<std::uint64_t>(options.every, 1) ||
        (pending > 0 && Clock::now() - last_checkpoint_time >= interval))
      checkpoint();

    // Rotation by rename: a new file at the name. The old one is read to its
    // end and checkpointed before the new one is read; while no new file
    // exists yet, the old one is still the log.
    FileStatus at_name;
    if (path_status(live_path.c_str(), at_name) == 0 &&
        (at_name.inode != live_status.inode || at_name.device != live_status.device)) {
      const int fd = open_retrying(live_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
      if (fd >= 0) {
        Descriptor next(fd);
        if (std::string refusal = read_live(); !refusal.empty()) return notary.outcome(1, refusal);
        checkpoint();
        FileStatus next_status;
        if (const int error = file_status(next.get(), next_status))
          throw UnusableInputError("log " + live_path + ": " + describe_os_error(error));
        // What replaced the log must be a log too: reading a FIFO or a
        // device would wait or never end.
        if (!next_status.regular())
          throw UnusableInputError("log " + live_path + ": replaced by something that is not a regular file (" +
                                 tlog::file_kind_text(next_status) + "), after " + std::to_string(notary.written) +
                                 " checkpoints that sealed " + std::to_string(notary.sealed_size) + " lines");
        live_status = next_status;
        live = std::move(next);
        live_start = stream.position();
        continue;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_milliseconds));
  }
}

// A proof carries its record's line whole; a line longer than the reading
// limit is never held, so no proof is made for it.
class LineTooLongToProve : public UnusableInputError {
 public:
  LineTooLongToProve(std::uint64_t number, std::uint64_t length)
      : UnusableInputError("line " + std::to_string(number) + " is " + std::to_string(length) +
                         " bytes long, more than the " + std::to_string(logread::default_line_limit) +
                         " bytes a line may have to be carried in a proof") {}
};

struct ProofCandidate {
  const tlog::Checkpoint* checkpoint = nullptr;
  tlog::CheckpointBody body;  // read from its note, unchecked: the verifier checks the signature
};

// The frontier blocks of a tree of `size` leaves, as leaf ranges, largest first.
std::vector<tlog::LeafRange> frontier_ranges(std::uint64_t size) {
  std::vector<tlog::LeafRange> ranges;
  std::uint64_t at = 0;
  for (int bit = 63; bit >= 0; --bit) {
    const std::uint64_t block = std::uint64_t{1} << bit;
    if (size & block) {
      ranges.push_back({at, at + block});
      at += block;
    }
  }
  return ranges;
}

// Builds the proof of leaf `index` when the log's first line is leaf
// `start_size`, continuing `start_frontier`: the path's ranges before the
// start are made of frontier blocks, those after it of the log's lines.
// Returns "" with `proof` filled in, or why no proof can be made this way.
std::string prove_from(const std::vector<std::string>& logs, std::uint64_t start_size,
                       const std::vector<tlog::TreeHash>& start_frontier, const std::vector<ProofCandidate>& candidates,
                       std::uint64_t index, tlog::TlogProof& proof) {
  const ProofCandidate* chosen = nullptr;
  for (auto it = candidates.rbegin(); it != candidates.rend() && !chosen; ++it)
    if (it->checkpoint->size > index) chosen = &*it;
  if (!chosen) return "no checkpoint covers line " + std::to_string(index + 1 - start_size);

  const std::vector<tlog::LeafRange> blocks = frontier_ranges(start_size);
  const std::vector<tlog::LeafRange> ranges = tlog::inclusion_ranges(index, chosen->checkpoint->size);
  std::vector<tlog::TreeBuilder> builders(ranges.size());
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (ranges[i].begin >= start_size) continue;
    // The part before the start is a run of whole frontier blocks.
    std::vector<tlog::TreeHash> part;
    std::uint64_t covered = ranges[i].begin;
    for (std::size_t j = 0; j < blocks.size(); ++j) {
      if (blocks[j].begin >= ranges[i].begin && blocks[j].end <= std::min(ranges[i].end, start_size)) {
        if (blocks[j].begin != covered) return "the frontier does not cover the path";
        part.push_back(start_frontier[j]);
        covered = blocks[j].end;
      }
    }
    if (covered != std::min(ranges[i].end, start_size) || !builders[i].resume(covered - ranges[i].begin, part))
      return "the frontier does not cover the path";
  }
  // The path's ranges are disjoint: walk them in leaf order beside the whole tree.
  std::vector<std::size_t> order(ranges.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return ranges[a].begin < ranges[b].begin; });
  std::size_t current = 0;

  tlog::TreeBuilder whole;
  whole.resume(start_size, start_frontier);
  std::string record;
  logread::CompleteLines lines(logs, logread::default_line_limit);
  logread::LogLine line;
  tlog::TreeHash leaf;
  while (whole.size() < chosen->checkpoint->size && lines.next(line, leaf)) {
    const std::uint64_t leaf_index = whole.size();
    whole.append(leaf);
    if (leaf_index == index) {
      if (line.too_long) throw LineTooLongToProve(line.number, line.length);
      record = std::string(line.text);
      continue;
    }
    while (current < order.size() && ranges[order[current]].end <= leaf_index) ++current;
    if (current < order.size() && ranges[order[current]].begin <= leaf_index) builders[order[current]].append(leaf);
  }
  if (whole.size() < chosen->checkpoint->size)
    return "the log has only " + std::to_string(whole.size() - start_size) + " lines, but the checkpoint covers " +
           std::to_string(chosen->checkpoint->size - start_size) + ": it was truncated";
  if (whole.root() != chosen->body.root)
    return "the log does not give the root signed for its first " + std::to_string(chosen->checkpoint->size) +
           " lines: it was changed since";

  proof.has_extra = true;
  proof.extra = std::move(record);
  proof.index = index;
  proof.path.clear();
  for (const tlog::TreeBuilder& builder : builders) proof.path.push_back(builder.root());
  proof.checkpoint = chosen->checkpoint->note;
  return {};
}

// The proof of leaf `index` with its path from the tiles, which give the
// chosen checkpoint's root: only the lines from the checkpoint before the
// leaf up to it are read, and the line must be the tiles' leaf. False, with
// nothing to rely on in `proof`, when the tiles cannot make it (the log is
// then read as without them).
bool prove_with_tiles(const std::string& directory, const std::vector<std::string>& logs,
                      const std::vector<ProofCandidate>& candidates, std::uint64_t index, tlog::TlogProof& proof) {
  const ProofCandidate* chosen = nullptr;
  const ProofCandidate* before = nullptr;
  for (const ProofCandidate& candidate : candidates)
    if (candidate.checkpoint->size <= index) before = &candidate;
  for (auto it = candidates.rbegin(); it != candidates.rend(); ++it)
    if (it->checkpoint->size > index) {
      chosen = &*it;
      break;
    }
  if (!chosen) return false;
  try {
    tlog::TileReader reader(directory, chosen->checkpoint->size);
    if (reader.root() != chosen->body.root) return false;
    const tlog::TreeHash leaf = reader.leaf(index);
    // The files given must start at the log's first line (not after deleted
    // pieces), so that line numbers and the tree's indexes agree.
    {
      logread::CompleteLines start(logs, logread::default_line_limit);
      logread::LogLine line;
      tlog::TreeHash first_leaf;
      if (!start.next(line, first_leaf) || first_leaf != reader.leaf(0)) return false;
    }
    const std::uint64_t first = before ? before->checkpoint->size : 0;
    logread::CompleteLines source(logs, logread::default_line_limit, before ? before->checkpoint->bytes : 0, first + 1);
    logread::LogLine line;
    tlog::TreeHash line_leaf;
    for (std::uint64_t at = first; at <= index; ++at) {
      if (!source.next(line, line_leaf)) return false;
    }
    if (line_leaf != leaf) return false;
    if (line.too_long) throw LineTooLongToProve(line.number, line.length);
    proof.has_extra = true;
    proof.extra = std::string(line.text);
    proof.index = index;
    proof.path = reader.inclusion_proof(index, chosen->checkpoint->size);
    proof.checkpoint = chosen->checkpoint->note;
    return true;
  } catch (const tlog::TileError&) {
    return false;
  } catch (const LineTooLongToProve&) {
    throw;
  } catch (const UnusableInputError&) {
    // A log that cannot be read is read again, and reported, without the tiles.
    return false;
  }
}

}  // namespace

std::string prove(const std::string& checkpoints_path, const std::vector<std::string>& logs,
                  std::uint64_t line_number, const std::string& tiles_dir) {
  if (line_number == 0) throw UnusableInputError("line numbers count from 1");
  for (const std::string& path : logs) refuse_unless_regular(path);
  const std::vector<tlog::CheckpointLine> lines = read_checkpoints(checkpoints_path, false);
  std::vector<ProofCandidate> candidates;
  for (const tlog::CheckpointLine& line : lines) {
    if (!line.checkpoint) continue;
    ProofCandidate candidate{&*line.checkpoint, {}};
    const std::string& note = line.checkpoint->note;
    const std::size_t blank = note.rfind("\n\n");
    if (blank == std::string::npos || !tlog::parse_checkpoint_body(note.substr(0, blank + 1), candidate.body).empty() ||
        candidate.body.size != line.checkpoint->size ||
        tlog::root_from_frontier(line.checkpoint->frontier) != candidate.body.root)
      continue;
    if (!candidates.empty() && candidate.body.size < candidates.back().body.size) continue;
    candidates.push_back(std::move(candidate));
  }

  tlog::TlogProof proof;
  const std::string directory = tiles_dir.empty() ? default_tiles_path(checkpoints_path) : tiles_dir;
  if (prove_with_tiles(directory, logs, candidates, line_number - 1, proof)) return tlog::format_tlog_proof(proof);
  std::string error = prove_from(logs, 0, {}, candidates, line_number - 1, proof);
  if (!error.empty() && candidates.size() >= 2) {
    // The log may have lost its older pieces: continue from the checkpoint it starts at.
    std::vector<logread::KnownCheckpoint> known;
    for (const ProofCandidate& candidate : candidates) known.push_back({candidate.checkpoint, candidate.body.root});
    const std::size_t start = logread::find_later_start(logs, known, logread::default_line_limit);
    if (start < candidates.size()) {
      const tlog::Checkpoint& at = *candidates[start].checkpoint;
      if (prove_from(logs, at.size, at.frontier, candidates, at.size + line_number - 1, proof).empty()) error.clear();
    }
  }
  if (!error.empty()) throw UnusableInputError("checkpoint file " + checkpoints_path + ": " + error);
  return tlog::format_tlog_proof(proof);
}

void write_proof_file(const std::string& path, std::string_view proof) {
  if (holds_nul(path)) throw UnusableInputError("proof file " + path + ": " + std::string(nul_in_path_rendering));
  const auto refuse = [&path](std::string_view why) -> UnusableInputError {
    return UnusableInputError("proof file " + path + ": cannot be written: " + std::string(why));
  };
  // A new file, never reached through a link planted at the name.
  int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0644);
  const bool existing = fd < 0 && errno == EEXIST;
  if (existing) {
    // An earlier proof is rewritten in place, but only a plain file of this
    // user's with this one name: not a link to, nor a second name of,
    // someone else's file. Non-blocking, so that a FIFO does not wait for a reader.
    fd = open_retrying(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == ELOOP) throw refuse("it is a symbolic link, and a proof is never written through one");
  }
  if (fd < 0) throw refuse(describe_os_error(errno));
  Descriptor file(fd);
  if (existing) {
    struct statx status {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_UID | STATX_NLINK, &status) != 0)
      throw refuse(describe_os_error(errno));
    if (!S_ISREG(status.stx_mode)) throw refuse("it exists and is not a regular file");
    if (status.stx_uid != ::geteuid())
      throw refuse("it exists and belongs to uid " + std::to_string(status.stx_uid) + ", not to this user");
    if (status.stx_nlink != 1) throw refuse("it exists and has other names (hard links)");
    if (::ftruncate(fd, 0) != 0) throw refuse(describe_os_error(errno));
  }
  const WriteOutcome outcome = write_all(fd, proof.data(), proof.size());
  if (!outcome.ok()) throw refuse(outcome.error);
  if (::fsync(fd) != 0) throw refuse(describe_os_error(errno));
}

}  // namespace oxa::notary
