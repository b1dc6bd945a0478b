#include "verify/verifier.hpp"

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <cctype>
#include <cerrno>
#include <unordered_map>

#include "common/file_status.hpp"
#include "common/hex_text.hpp"
#include "engine/decision_history.hpp"
#include "engine/record_sealing.hpp"
#include "logread/log_source.hpp"
#include "logread/record_format.hpp"
#include "store/file_io.hpp"
#include "store/key_file.hpp"
#include "verify/chain_tracker.hpp"
#include "verify/key_reading.hpp"
#include "verify/signature_checker.hpp"
#include "verify/statistics_collector.hpp"
#include "verify/verify_errors.hpp"

namespace oxa::verify {

namespace {

static_assert(logread::line_padding >= logread::RecordReader::padding);

constexpr std::string_view break_message =
    "its merkle_root extends no open root: a record before it is missing, altered or out of order";
std::string fork_message(std::uint64_t earlier_line) {
  std::string message = "its merkle_root extends the root that the record at line ";
  message += std::to_string(earlier_line);
  message += " already extended: a duplicated or replayed record";
  return message;
}
constexpr std::string_view signature_message = "the signature does not verify under the public key";
std::string stopped_message(std::uint32_t chain) {
  return "chain " + std::to_string(chain + 1) +
         " begins here from records not in the log, so its consistency analysis is replayed only after " +
         std::to_string(history_limit) + " of its records, which give the analysis state";
}
std::string mismatch_stopped_message(std::uint32_t chain) {
  return "the replay of chain " + std::to_string(chain + 1) + " stops at this mismatch and starts again after " +
         std::to_string(history_limit) + " more of its records";
}
constexpr std::string_view wrong_key_message = "no record verifies under this public key: is it the right key?";
constexpr std::string_view no_records_message =
    "the log holds no complete record: nothing was verified (an empty file, or a failed command before a pipe)";
std::string truncated_message(const std::string& path) {
  return path + ": the compressed data ends before its stream does (a piece cut short): the report covers the "
                "lines read up to there";
}
constexpr std::string_view piece_order_message =
    "; it is the first record of its piece and extends none of the open chains: a piece before it may be "
    "missing or out of order";
constexpr std::string_view torn_message = "the last line has no line feed (a write cut short)";
constexpr std::string_view torn_partial_message =
    "the last line has no line feed (a write cut short) and is not a whole record";
std::string too_long_message(std::uint64_t limit) {
  return "not a record: longer than " + std::to_string(limit) + " bytes";
}
constexpr std::string_view key_file_message_start = "the public key was derived from the key file ";
constexpr std::string_view key_file_message_end =
    " beside the log, which proves nothing against someone able to rewrite both; give the published key with "
    "--public-key";

// The order of the checks on one line, for sorting problems.
int check_order(std::string_view kind) {
  static constexpr std::array<std::string_view, 10> order = {
      kind_wrong_key,       kind_no_records,  kind_truncated_piece, kind_anchor_missing,  kind_malformed,
      kind_hash_mismatch,   kind_bad_signature, kind_chain_break,   kind_fork,            kind_replay_mismatch};
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (order[i] == kind) return static_cast<int>(i);
  }
  return static_cast<int>(order.size());
}

class ProblemList {
 public:
  void add(std::uint64_t line, std::string_view kind, std::string message) {
    problems_.push_back(Finding{line, kind, std::move(message)});
    if (problems_.size() >= 2 * problem_listing_limit) trim();
  }
  // Sorted, at most the listing limit; the rest counted.
  std::vector<Finding> take(std::uint64_t& not_listed) {
    trim();
    not_listed = dropped_;
    return std::move(problems_);
  }

 private:
  void trim() {
    std::stable_sort(problems_.begin(), problems_.end(), [](const Finding& a, const Finding& b) {
      if (a.line != b.line) return a.line < b.line;
      return check_order(a.kind) < check_order(b.kind);
    });
    if (problems_.size() > problem_listing_limit) {
      dropped_ += problems_.size() - problem_listing_limit;
      problems_.resize(problem_listing_limit);
    }
  }
  std::vector<Finding> problems_;
  std::uint64_t dropped_ = 0;
};

std::string hash_mismatch_message(const Hash32& recomputed, const Hash32& stated) {
  std::string message = "the content hash recomputed from provenance, place, purpose, prompt, coherence and "
                        "reputation is ";
  append_hex(message, recomputed);
  message += ", the record says ";
  append_hex(message, stated);
  return message;
}

std::string display_name(const std::string& path) {
  return path == logread::standard_input_name ? std::string("standard input") : path;
}

// What a piece looks like when its first line shows it is no log at all
// (its name passed by a glob, or the wrong file given), or "" for a log.
// With `starts_a_line` false the piece may begin inside a line of the piece
// before it (a log split by bytes), so only what no line of a log holds counts.
std::string not_a_log(const std::string& path, std::string_view first_line, bool starts_a_line = true) {
  constexpr std::string_view key_suffix = ".key";
  const bool key_name = path.size() > key_suffix.size() &&
                        path.compare(path.size() - key_suffix.size(), key_suffix.size(), key_suffix) == 0;
  FileStatus status;
  if (key_name && path_status(path.c_str(), status) == 0 && status.regular() && status.size == signing_seed_bytes) {
    return "it is the engine's key file (its name ends in .key and it holds " + std::to_string(signing_seed_bytes) +
           " bytes), not a log";
  }
  if (first_line.rfind("{\"size\":", 0) == 0) {
    return "it is a notary checkpoint file (its first line is a checkpoint), not a log; give it with --checkpoints";
  }
  if (first_line.find('\0') != std::string_view::npos) return "its first line holds a NUL byte: binary data, not a log";
  if (starts_a_line && (first_line.empty() || first_line.front() != '{')) {
    return "its first line is not a JSON object: not a log";
  }
  return {};
}

// The current log's name of a rotated piece: LOG for LOG.3, LOG.3.gz,
// LOG-20260101 and LOG-20260101.gz; any other name unchanged.
std::string rotation_base(std::string path) {
  auto strip = [&path](std::string_view suffix) {
    if (path.size() > suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
      path.resize(path.size() - suffix.size());
    }
  };
  strip(".gz");
  std::size_t digits = 0;
  while (digits < path.size() && std::isdigit(static_cast<unsigned char>(path[path.size() - 1 - digits]))) ++digits;
  if (digits == 0 || digits >= path.size()) return path;
  const char mark = path[path.size() - 1 - digits];
  if (mark == '.' || (mark == '-' && digits >= 8)) path.resize(path.size() - 1 - digits);
  return path;
}

// The beginning of a regular file's first line (decompressed when it is
// gzip), so that a piece that is no log is refused before the pieces ahead of
// it are read; nullopt for anything else (a pipe is checked as it is read).
std::optional<std::string> first_line_of(const std::string& path) {
  constexpr std::size_t look = 4096;
  FileStatus status;
  if (path == logread::standard_input_name || holds_nul(path) || path_status(path.c_str(), status) != 0 || !status.regular() ||
      status.size == 0) {
    return std::nullopt;
  }
  const int fd = open_retrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::string raw(look, '\0');
  ssize_t n;
  do {
    n = ::read(fd, raw.data(), raw.size());
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  raw.resize(static_cast<std::size_t>(n));
  std::string text;
  if (logread::gzip_magic(raw)) {
    z_stream stream{};
    if (::inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
    text.assign(look, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(raw.data());
    stream.avail_in = static_cast<uInt>(raw.size());
    stream.next_out = reinterpret_cast<Bytef*>(text.data());
    stream.avail_out = static_cast<uInt>(text.size());
    const int code = ::inflate(&stream, Z_SYNC_FLUSH);
    text.resize(text.size() - stream.avail_out);
    ::inflateEnd(&stream);
    // Damage is reported when the piece is read.
    if (code != Z_OK && code != Z_STREAM_END && code != Z_BUF_ERROR) return std::nullopt;
    if (text.empty()) return std::nullopt;
  } else {
    text = std::move(raw);
  }
  const std::size_t feed = text.find('\n');
  if (feed != std::string::npos) text.resize(feed);
  return text;
}

// Two names of one file would read it twice and report its records as replayed.
void refuse_repeated_pieces(const std::vector<std::string>& paths) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> seen;
  bool standard_input = false;
  for (const std::string& path : paths) {
    FileStatus status;
    int error;
    if (path == logread::standard_input_name) {
      if (standard_input) throw UsageError("standard input ('-') is given twice");
      standard_input = true;
      error = file_status(0, status);
    } else {
      if (holds_nul(path)) continue;  // reported when the piece is opened
      error = path_status(path.c_str(), status);
    }
    if (error != 0) continue;  // likewise
    const std::pair<std::uint64_t, std::uint64_t> identity{status.device, status.inode};
    if (std::find(seen.begin(), seen.end(), identity) != seen.end()) {
      throw UsageError(display_name(path) + " is given twice (the same file under two names): each piece is read once");
    }
    seen.push_back(identity);
  }
}

// How often progress is reported, in lines.
constexpr std::uint64_t progress_every = 4096;

}  // namespace

void refuse_unusable_pieces(const std::vector<std::string>& paths) {
  refuse_repeated_pieces(paths);
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (const std::optional<std::string> first = first_line_of(paths[i])) {
      if (const std::string looks = not_a_log(paths[i], *first, i == 0); !looks.empty()) {
        throw UsageError(paths[i] + ": " + looks);
      }
    }
  }
}

Report verify_log(const VerifyOptions& options, const Progress& progress) {
  if (options.paths.empty()) throw UsageError("no log given");
  refuse_unusable_pieces(options.paths);
  Report report;
  report.pieces = options.paths;
  report.piece_first_lines.assign(options.paths.size(), 0);

  PublicKey key{};
  if (options.public_key) {
    key = parse_hex32(*options.public_key, "the public key");
    report.key_source = key_source_argument;
  } else {
    if (options.paths.front() == logread::standard_input_name) {
      throw UsageError("a log read from standard input needs --public-key");
    }
    report.key_file = key_file_path(options.paths.front());
    FileStatus status;
    if (path_status(report.key_file.c_str(), status) == ENOENT) {
      // The oldest piece of a rotated log (LOG.3.gz) has its key beside the current log.
      const std::string base = rotation_base(options.paths.front());
      if (base != options.paths.front()) report.key_file = key_file_path(base);
    }
    key = read_public_key_from_key_file(report.key_file);
    report.key_source = key_source_key_file;
    std::string message(key_file_message_start);
    message += report.key_file;
    message += key_file_message_end;
    report.warnings.push_back(Finding{0, kind_key_from_log_directory, std::move(message)});
  }
  report.public_key = hex_text(key);

  // Anchor roots, each with whether some record has it.
  std::vector<std::pair<Hash32, bool>> anchors;
  for (const std::string& anchor : options.anchors) {
    anchors.emplace_back(parse_hex32(anchor, "an anchor"), false);
  }
  // Sorted, so that each record's root is looked up rather than compared with every anchor.
  std::sort(anchors.begin(), anchors.end());

  const unsigned jobs = options.jobs == 0 ? available_cores() : options.jobs;
  ProblemList problems;
  StatisticsCollector statistics;
  try {
    if (options.max_line_bytes == 0) throw UsageError("the line limit must be at least 1 byte");
    logread::LogSource source(options.paths);
    source.set_line_limit(static_cast<std::size_t>(std::min<std::uint64_t>(options.max_line_bytes, SIZE_MAX - 1)));
    const std::uint64_t total = source.size_complete() ? source.known_size() : 0;
    std::optional<CheckedSignatures> checked;
    if (!options.checked_ranges.empty() || options.pending_ranges) {
      if (options.paths.size() != 1) throw UsageError("checked byte ranges are of a log of one piece");
      if (options.pending_ranges) {
        checked.emplace(options.pending_bounds, key, options.pending_ranges);
      } else {
        checked.emplace(options.checked_ranges, key);
      }
    }
    SignatureChecker signatures(key, checked ? 1 : jobs);
    logread::RecordReader reader;
    ChainTracker tracker;
    logread::RecordFields fields;
    logread::LogLine line;
    std::uint32_t last_record_piece = UINT32_MAX;
    std::uint64_t bad_signatures = 0;
    while (source.next(line)) {
      ++report.lines;
      if (checked) checked->line(line.number, line.offset);
      if (report.piece_first_lines[line.piece] == 0) report.piece_first_lines[line.piece] = line.number;
      if (line.piece_start) {
        const std::string& path = options.paths[line.piece];
        if (const std::string looks = not_a_log(path, line.text); !looks.empty()) {
          throw UsageError(display_name(path) + ": " + looks);
        }
      }
      if (progress && report.lines % progress_every == 0) progress(source.bytes_consumed(), report.records, total);
      if (line.too_long) {
        if (!line.terminated) {
          report.warnings.push_back(Finding{line.number, kind_torn_tail, std::string(torn_partial_message)});
          break;
        }
        problems.add(line.number, kind_malformed, too_long_message(options.max_line_bytes));
        statistics.add_unreadable(line.number);
        continue;
      }
      std::string wrong = reader.read(line.text, true, fields);
      if (!line.terminated) {
        // What a crash while writing leaves: reported, not failed; a tail that
        // still reads as a whole record is checked as one.
        report.warnings.push_back(
            Finding{line.number, kind_torn_tail, std::string(wrong.empty() ? torn_message : torn_partial_message)});
        if (!wrong.empty()) break;
        report.torn_record_line = line.number;
      }
      if (!wrong.empty()) {
        problems.add(line.number, kind_malformed, "not a record: " + wrong);
        statistics.add_unreadable(line.number);
        continue;
      }
      ++report.records;
      const bool first_of_piece = line.piece != last_record_piece;
      last_record_piece = line.piece;
      const bool chains_open = !tracker.chains().empty();

      const Hash32 recomputed = content_hash(SealInput{fields.provenance, fields.place, fields.purpose, fields.prompt,
                                                       fields.coherence, fields.reputation});
      if (recomputed != fields.hash) {
        problems.add(line.number, kind_hash_mismatch, hash_mismatch_message(recomputed, fields.hash));
      }
      if (checked) {
        checked->add(line.offset, fields.hash, fields.signature);
      } else {
        signatures.add(line.number, fields.hash, fields.signature);
      }

      const Placement placement = tracker.place(line.number, fields);
      statistics.add_record(line.number, fields, placement, tracker.chains()[placement.chain]);
      if (placement.link == Link::chain_break) {
        std::string message(break_message);
        if (first_of_piece && line.piece > 0 && chains_open) message += piece_order_message;
        problems.add(line.number, kind_chain_break, std::move(message));
        report.chain_starts.push_back(ChainStart{line.number, false, 0});
      }
      if (placement.link == Link::fork) problems.add(line.number, kind_fork, fork_message(placement.earlier_line));
      const bool mismatch = placement.replay_checked && !placement.replay_matched;
      if (mismatch) problems.add(line.number, kind_replay_mismatch, placement.replay_message);
      if (mismatch || (!tracker.chains()[placement.chain].replaying && placement.link != Link::extended)) {
        if (report.warnings.size() < problem_listing_limit) {
          report.warnings.push_back(Finding{line.number, kind_replay_stopped,
                                            mismatch ? mismatch_stopped_message(placement.chain)
                                                     : stopped_message(placement.chain)});
        } else {
          ++report.warnings_not_listed;
        }
      }
      if (!anchors.empty()) {
        auto at = std::lower_bound(anchors.begin(), anchors.end(), std::make_pair(fields.merkle_root, false));
        for (; at != anchors.end() && at->first == fields.merkle_root; ++at) at->second = true;
      }
    }
    if (progress) progress(source.bytes_consumed(), report.records, total);
    const std::vector<std::uint64_t> bad_lines = checked ? checked->finish() : signatures.finish();
    for (const std::uint64_t bad : bad_lines) {
      problems.add(bad, kind_bad_signature, std::string(signature_message));
      ++bad_signatures;
    }
    // One clear cause leads the per-line problems it explains.
    if (report.records > 0 && bad_signatures == report.records) {
      problems.add(0, kind_wrong_key, std::string(wrong_key_message));
    }
    for (const std::uint32_t piece : source.truncated_pieces()) {
      problems.add(0, kind_truncated_piece, truncated_message(display_name(options.paths[piece])));
    }
    for (const ChainInfo& chain : tracker.chains()) {
      report.chains.push_back(ChainSummary{chain.first_line, chain.last_line, chain.records, hex_text(chain.head)});
    }
    // A record that extends no open root after another chain has ended may be
    // that chain's next record after a missing one; only while every chain
    // seen so far goes on past it can it be a chain's first record here.
    std::vector<std::uint64_t> last_lines;
    last_lines.reserve(tracker.chains().size());
    for (const ChainInfo& chain : tracker.chains()) last_lines.push_back(chain.last_line);
    std::sort(last_lines.begin(), last_lines.end());
    for (ChainStart& start : report.chain_starts) {
      const auto ended = std::lower_bound(last_lines.begin(), last_lines.end(), start.line);
      start.excusable = ended == last_lines.begin();
      if (!start.excusable) start.ended_line = *std::prev(ended);
    }
  } catch (const logread::LogSourceError& e) {
    throw InputError(e.what());
  }

  for (const auto& [root, seen] : anchors) {
    if (!seen) problems.add(0, kind_anchor_missing, "no record has the anchor root " + hex_text(root));
  }
  if (report.records == 0) problems.add(0, kind_no_records, std::string(no_records_message));
  report.problems = problems.take(report.problems_not_listed);
  if (options.continues) {
    excuse_chain_starts(report, report.lines,
                        "its chain continues from a record before the given pieces (--continues), which it "
                        "extends; its consistency analysis is replayed only after " +
                            std::to_string(history_limit) + " of its records");
  }
  locate_findings(report);
  report.ok = report.problems.empty() && report.problems_not_listed == 0;
  statistics.finish(report, options.paths,
                    static_cast<std::size_t>(std::min<std::uint64_t>(options.max_line_bytes, SIZE_MAX - 1)));
  return report;
}

void excuse_chain_starts(Report& report, std::uint64_t last_line, std::string_view why) {
  std::vector<Finding> kept;
  std::vector<std::uint64_t> excused;
  for (Finding& problem : report.problems) {
    if (problem.kind != kind_chain_break || problem.line == 0 || problem.line > last_line) {
      kept.push_back(std::move(problem));
      continue;
    }
    // Chain starts are kept in line order.
    auto start = std::lower_bound(report.chain_starts.begin(), report.chain_starts.end(), problem.line,
                                  [](const ChainStart& s, std::uint64_t line) { return s.line < line; });
    if (start != report.chain_starts.end() && start->line != problem.line) start = report.chain_starts.end();
    if (start != report.chain_starts.end() && start->excusable) {
      excused.push_back(problem.line);
      report.warnings.push_back(Finding{problem.line, kind_starts_mid_chain, std::string(why)});
      continue;
    }
    if (start != report.chain_starts.end() && problem.message.find(" (not a chain's first record") == std::string::npos) {
      problem.message += " (not a chain's first record in the given lines: the chain that ended at line " +
                         std::to_string(start->ended_line) + " may be the one it continues after a missing record)";
    }
    kept.push_back(std::move(problem));
  }
  report.problems = std::move(kept);
  // The starts-mid-chain warning says that the replay cannot run.
  std::erase_if(report.warnings, [&](const Finding& warning) {
    return warning.kind == kind_replay_stopped && std::binary_search(excused.begin(), excused.end(), warning.line);
  });
  locate_findings(report);
}

void locate_findings(Report& report) {
  // The pieces that hold lines, with their first lines (growing).
  std::vector<std::pair<std::uint64_t, std::size_t>> starts;
  for (std::size_t i = 0; i < report.piece_first_lines.size() && i < report.pieces.size(); ++i) {
    if (report.piece_first_lines[i] != 0) starts.emplace_back(report.piece_first_lines[i], i);
  }
  auto locate = [&](Finding& finding) {
    if (finding.line == 0 || starts.empty()) return;
    auto at = std::upper_bound(starts.begin(), starts.end(), std::make_pair(finding.line, SIZE_MAX));
    if (at == starts.begin()) return;
    --at;
    finding.file = report.pieces[at->second];
    finding.file_line = finding.line - at->first + 1;
  };
  for (Finding& finding : report.problems) locate(finding);
  for (Finding& finding : report.warnings) locate(finding);
  auto by_line = [](const Finding& a, const Finding& b) {
    if (a.line != b.line) return a.line < b.line;
    return check_order(a.kind) < check_order(b.kind);
  };
  std::stable_sort(report.problems.begin(), report.problems.end(), by_line);
  std::stable_sort(report.warnings.begin(), report.warnings.end(),
                   [](const Finding& a, const Finding& b) { return a.line < b.line; });
}

}  // namespace oxa::verify
