#include "tlog/checkpoint.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <charconv>
#include <simdjson.h>

#include "common/file_status.hpp"
#include "common/os_error.hpp"
#include "common/regular_file.hpp"
#include "store/file_io.hpp"
#include "store/json_writer.hpp"
#include "store/trusted_file.hpp"
#include "tlog/base64_text.hpp"

namespace oxa::tlog {

namespace {

bool parse_decimal(std::string_view text, std::uint64_t& out) {
  // No sign, no leading zero (except "0" itself): one size has one text.
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

// Room for millions of checkpoints (each a few kilobytes at most), and a
// bound on what one read holds in memory.
constexpr std::size_t checkpoint_file_limit = std::size_t{16} << 30;

std::string file_error(const std::string& path, std::string_view what) {
  return "checkpoint file " + path + ": " + std::string(what);
}

std::string parse_entry(std::string_view line, simdjson::dom::parser& parser, Checkpoint& out) {
  simdjson::dom::object object;
  if (parser.parse(line.data(), line.size()).get_object().get(object))
    return "not a JSON object";
  bool have_size = false, have_bytes = false, have_frontier = false, have_note = false;
  for (auto field : object) {
    const std::string_view key = field.key;
    if (key == "size" && !have_size) {
      if (field.value.get_uint64().get(out.size)) return "\"size\" is not an unsigned integer";
      have_size = true;
    } else if (key == "bytes" && !have_bytes) {
      if (field.value.get_uint64().get(out.bytes)) return "\"bytes\" is not an unsigned integer";
      have_bytes = true;
    } else if (key == "frontier" && !have_frontier) {
      simdjson::dom::array hashes;
      if (field.value.get_array().get(hashes)) return "\"frontier\" is not an array";
      for (auto element : hashes) {
        std::string_view text;
        if (element.get_string().get(text)) return "\"frontier\" holds a value that is not a string";
        const auto bytes = base64_decode(text);
        if (!bytes || bytes->size() != tree_hash_bytes)
          return "\"frontier\" holds a value that is not base64 of a 32-byte hash";
        TreeHash hash;
        std::copy(bytes->begin(), bytes->end(), hash.begin());
        out.frontier.push_back(hash);
      }
      have_frontier = true;
    } else if (key == "note" && !have_note) {
      std::string_view note;
      if (field.value.get_string().get(note)) return "\"note\" is not a string";
      out.note = std::string(note);
      have_note = true;
    } else {
      return "unexpected or repeated member \"" + std::string(key) + "\"";
    }
  }
  if (!have_size || !have_bytes || !have_frontier || !have_note)
    return "a checkpoint needs \"size\", \"bytes\", \"frontier\" and \"note\"";
  if (out.frontier.size() != static_cast<std::size_t>(std::popcount(out.size)))
    return "\"frontier\" does not hold one hash per set bit of \"size\"";
  // Every line takes at least its line feed.
  if (out.bytes < out.size) return "\"bytes\" is smaller than \"size\"";
  return {};
}

}  // namespace

std::string format_checkpoint_body(const CheckpointBody& body) {
  std::string text = body.origin;
  text += '\n';
  text += std::to_string(body.size);
  text += '\n';
  text += base64_encode(body.root);
  text += '\n';
  return text;
}

std::string file_kind_text(const FileStatus& status) {
  switch (status.mode & S_IFMT) {
    case S_IFIFO: return "a FIFO";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFSOCK: return "a socket";
    case S_IFDIR: return "a directory";
    default: return "not a plain file";
  }
}

bool valid_origin(std::string_view origin) {
  // Notes are UTF-8 text: an origin that is not would be signed into
  // checkpoints no reader of the file could take.
  if (origin.empty() || !simdjson::validate_utf8(origin.data(), origin.size())) return false;
  for (unsigned char c : origin)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

std::string parse_checkpoint_body(std::string_view text, CheckpointBody& out) {
  std::string_view lines[3];
  for (auto& line : lines) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return "the checkpoint text has fewer than three lines";
    line = text.substr(0, end);
    text.remove_prefix(end + 1);
  }
  if (!valid_origin(lines[0])) return "the checkpoint's origin is empty";
  CheckpointBody body;
  body.origin = std::string(lines[0]);
  if (!parse_decimal(lines[1], body.size)) return "the checkpoint's tree size is not a decimal number";
  const auto root = base64_decode(lines[2]);
  if (!root || root->size() != tree_hash_bytes) return "the checkpoint's root is not base64 of a 32-byte hash";
  std::copy(root->begin(), root->end(), body.root.begin());
  out = std::move(body);
  return {};
}

std::string format_checkpoint_line(const Checkpoint& checkpoint) {
  std::string out;
  json::begin_object(out);
  json::key(out, "size");
  json::unsigned_integer(out, checkpoint.size);
  json::separator(out);
  json::key(out, "bytes");
  json::unsigned_integer(out, checkpoint.bytes);
  json::separator(out);
  json::key(out, "frontier");
  json::begin_array(out);
  for (std::size_t i = 0; i < checkpoint.frontier.size(); ++i) {
    if (i) json::separator(out);
    json::string(out, base64_encode(checkpoint.frontier[i]));
  }
  json::end_array(out);
  json::separator(out);
  json::key(out, "note");
  json::string(out, checkpoint.note);
  json::end_object(out);
  return out;
}

std::vector<CheckpointLine> read_checkpoint_file(const std::string& path, bool missing_is_empty) {
  // A regular file only, read without blocking up to its size when opened: a
  // FIFO would wait for a writer forever, a device never end.
  std::string content;
  int os_error = 0;
  if (std::string error = read_regular_file(path, checkpoint_file_limit, content, os_error); !error.empty()) {
    if (os_error == ENOENT && missing_is_empty) return {};
    throw CheckpointFileError(file_error(path, error));
  }
  return parse_checkpoint_text(content);
}

std::vector<CheckpointLine> parse_checkpoint_text(std::string_view content) {
  std::vector<CheckpointLine> lines;
  simdjson::dom::parser parser;
  std::string_view rest = content;
  for (std::uint64_t number = 1; !rest.empty(); ++number) {
    const std::size_t end = rest.find('\n');
    CheckpointLine line;
    line.number = number;
    if (end == std::string_view::npos) {
      line.error = "the last line has no line feed (a write cut short)";
      lines.push_back(std::move(line));
      break;
    }
    Checkpoint checkpoint;
    line.error = parse_entry(rest.substr(0, end), parser, checkpoint);
    if (line.error.empty()) line.checkpoint = std::move(checkpoint);
    lines.push_back(std::move(line));
    rest.remove_prefix(end + 1);
  }
  return lines;
}

std::string check_checkpoint(const Checkpoint& checkpoint, const NoteVerifier& verifier,
                             CheckpointBody& body) {
  std::string text;
  switch (open_note(checkpoint.note, verifier, text)) {
    case NoteCheck::verified:
      break;
    case NoteCheck::malformed:
      return "its note is not a signed note";
    case NoteCheck::unknown_key:
      return "its note carries no signature of the key " + verifier.name;
    case NoteCheck::bad_signature:
      return "its note's signature does not verify under the key " + verifier.name;
  }
  if (std::string error = parse_checkpoint_body(text, body); !error.empty()) return error;
  if (body.size != checkpoint.size)
    return "its note signs size " + std::to_string(body.size) + ", not " + std::to_string(checkpoint.size);
  if (root_from_frontier(checkpoint.frontier) != body.root)
    return "its frontier does not give the signed root";
  return {};
}

namespace {

// Opens the existing checkpoint file for appending, or returns -1 with errno
// set. Appended to only when no one else could have planted or changed it:
// a regular file owned by this user or root that others cannot write,
// reached through no symbolic link of someone else's.
int open_existing_for_append(const std::string& path) {
  // Non-blocking: a FIFO at the name is refused below, not waited on.
  const int fd = open_retrying(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  const auto refuse = [fd, &path](const std::string& why) {
    ::close(fd);
    throw CheckpointFileError(file_error(path, why + "; refusing to append to it"));
  };
  const std::string me = std::to_string(::geteuid());
  FileStatus status;
  if (const int error = file_status(fd, status)) refuse(describe_os_error(error));
  if (!status.regular()) refuse("not a regular file (" + file_kind_text(status) + ")");
  if (status.owner != ::geteuid() && status.owner != 0)
    refuse("owned by uid " + std::to_string(status.owner) + ", neither this user (uid " + me + ") nor root");
  if (status.mode & S_IWOTH) refuse("writable by others");
  if (auto reason = planted_name_reason(path, status, "opened")) refuse(*reason);
  return fd;
}

}  // namespace

void append_checkpoint(const std::string& path, const Checkpoint& checkpoint) {
  if (holds_nul(path)) throw CheckpointFileError(file_error(path, nul_in_path_rendering));
  std::string line = format_checkpoint_line(checkpoint);
  line += '\n';
  int fd = open_existing_for_append(path);
  if (fd < 0 && errno == ENOENT) {
    // A new file, never made through a link planted at the name (a dangling
    // one would otherwise create its target wherever it points).
    fd = open_retrying(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                       0644);
    if (fd < 0 && errno == EEXIST) {
      FileStatus name;
      if (link_status(path.c_str(), name) == 0 && (name.mode & S_IFMT) == S_IFLNK)
        throw CheckpointFileError(file_error(path, "a symbolic link that leads nowhere; refusing to create its target"));
      fd = open_existing_for_append(path);  // made meanwhile by another notary
    }
  }
  if (fd < 0) throw CheckpointFileError(file_error(path, describe_os_error(errno)));
  // One write: a reader never sees half a checkpoint unless the device fails.
  const WriteOutcome outcome = write_all(fd, line.data(), line.size());
  const int sync_result = outcome.ok() ? ::fsync(fd) : 0;
  const int sync_error = errno;
  ::close(fd);
  if (!outcome.ok()) throw CheckpointFileError(file_error(path, outcome.error));
  if (sync_result != 0) throw CheckpointFileError(file_error(path, describe_os_error(sync_error)));
}

}  // namespace oxa::tlog
