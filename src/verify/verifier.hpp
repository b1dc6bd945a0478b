#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/signing_key.hpp"
#include "verify/range_check.hpp"
#include "verify/report_statistics.hpp"

namespace oxa::verify {

// Problem kinds, in the order of the checks made on one line.
inline constexpr std::string_view kind_malformed = "malformed";
inline constexpr std::string_view kind_hash_mismatch = "hash-mismatch";
inline constexpr std::string_view kind_bad_signature = "bad-signature";
inline constexpr std::string_view kind_chain_break = "chain-break";
inline constexpr std::string_view kind_fork = "fork";
inline constexpr std::string_view kind_replay_mismatch = "replay-mismatch";
inline constexpr std::string_view kind_anchor_missing = "anchor-missing";
inline constexpr std::string_view kind_wrong_key = "wrong-key";
inline constexpr std::string_view kind_no_records = "no-records";
inline constexpr std::string_view kind_truncated_piece = "truncated";
// Warning kinds.
inline constexpr std::string_view kind_torn_tail = "torn-tail";
inline constexpr std::string_view kind_replay_stopped = "replay-stopped";
inline constexpr std::string_view kind_key_from_log_directory = "key-from-log-directory";
inline constexpr std::string_view kind_starts_mid_chain = "starts-mid-chain";
inline constexpr std::string_view kind_hash_only = "hash-only";

inline constexpr std::string_view key_source_argument = "argument";
inline constexpr std::string_view key_source_key_file = "key-file";

inline constexpr std::uint64_t default_max_line_bytes = std::uint64_t{64} << 20;

struct VerifyOptions {
  std::vector<std::string> paths;          // the pieces, oldest first; "-" is standard input
  std::optional<std::string> public_key;   // 64 hex digits; else the key file beside the first piece
  std::vector<std::string> anchors;        // 64 hex digits each
  unsigned jobs = 0;                       // threads; 0 means every available core
  // A longer line (without its line feed) is malformed and passed over
  // unread, so that one huge line cannot take the memory it would need.
  std::uint64_t max_line_bytes = default_max_line_bytes;
  // The pieces begin after older ones that are not given: each chain's first
  // record in them may extend a root from before them.
  bool continues = false;
  // A single-piece log's signatures already checked range by range: taken
  // from them instead of being checked again.
  std::vector<CheckedRange> checked_ranges;
  // Or the ranges' bounds alone, their outcomes asked for from
  // `pending_ranges` once every line has been read.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pending_bounds;
  CheckedRangeSource pending_ranges;
};

struct Finding {
  Finding() = default;
  Finding(std::uint64_t line_, std::string_view kind_, std::string message_)
      : line(line_), kind(kind_), message(std::move(message_)) {}

  std::uint64_t line = 0;  // 0 for what concerns no single line
  std::string_view kind;   // one of the kinds above
  std::string message;
  std::string file;             // the piece holding the line, when line > 0
  std::uint64_t file_line = 0;  // the line's number within that piece
  // The OpenTelemetry trace and span of the record at the line, when it was
  // sealed from a span; empty otherwise.
  std::string trace_id;
  std::string span_id;
};

// A record that extends no open root and so begins a chain of its own.
struct ChainStart {
  std::uint64_t line = 0;
  // No chain ended before it, so it cannot be the next record of one after a
  // missing record: it may be a chain's first record in the given lines.
  bool excusable = false;
  std::uint64_t ended_line = 0;  // else the last line of a chain that ended before it
};

// What the notary's checkpoints proved, when they were checked.
struct CheckpointSummary {
  bool checked = false;
  std::string origin;
  std::uint64_t count = 0;           // checkpoints that verify under the notary key
  std::uint64_t sealed_lines = 0;    // lines of the given log covered by a checkpoint that holds
  std::uint64_t unsealed_lines = 0;  // lines after them
  std::uint64_t last_size = 0;       // the last checkpoint's size in lines of the whole log
  // With a witness policy: its witnesses and quorum, and the last checkpoint
  // that holds and whose cosignatures meet the quorum, when there is one.
  bool witnesses_checked = false;
  std::vector<std::string> witnesses;
  std::string quorum;
  bool witnessed = false;
  std::uint64_t witnessed_size = 0;
  std::vector<std::string> witnessed_by;
  std::uint64_t witnessed_lines = 0;    // lines of the given log covered by that checkpoint
  std::uint64_t unwitnessed_lines = 0;  // lines after them
};

struct ChainSummary {
  std::uint64_t first_line = 0;
  std::uint64_t last_line = 0;
  std::uint64_t records = 0;
  std::string head;  // the last merkle_root, in hex
};

struct Report {
  bool ok = true;
  std::uint64_t lines = 0;
  std::uint64_t records = 0;
  std::string public_key;  // hex
  std::string_view key_source;
  std::string key_file;    // where the key came from, when from a key file
  std::vector<ChainSummary> chains;
  std::vector<Finding> problems;  // in line order, then in the order of the checks
  std::vector<Finding> warnings;
  std::uint64_t problems_not_listed = 0;  // beyond the listing limit
  std::uint64_t warnings_not_listed = 0;
  // A last line without its line feed that still read as a whole record and
  // was checked as one: its number, else 0.
  std::uint64_t torn_record_line = 0;
  std::vector<std::string> pieces;         // as given, oldest first
  CheckpointSummary checkpoints;
  // Not shown: where each piece's lines begin (0 for a piece without lines),
  // and the records that began a chain at a break.
  std::vector<std::uint64_t> piece_first_lines;
  std::vector<ChainStart> chain_starts;
  ReportStatistics statistics;  // for charts: counts over time, per chain, reviews, problem lines
};

// Turns the chain-break problems of excusable chain starts up to `last_line`
// into `starts-mid-chain` warnings whose message begins with `why`; the other
// chain breaks up to it stay problems and say why they are not excused.
void excuse_chain_starts(Report& report, std::uint64_t last_line, std::string_view why);

// Names the piece and the line within it on every finding about a line, and
// sorts problems and warnings into line order (line 0 first).
void locate_findings(Report& report);

// Called now and then with the logical bytes read and records seen so far,
// and the total size when it is known (0 otherwise).
using Progress = std::function<void(std::uint64_t bytes, std::uint64_t records, std::uint64_t total)>;

// At most this many problems (and as many warnings) are listed; the rest are only counted.
inline constexpr std::size_t problem_listing_limit = 10000;

// Throws UsageError for a file given twice (two names of it, or "-" twice)
// and for a regular file that is no log at all (the engine's key file, a
// checkpoint file, binary data), naming it. verify_log() starts with it; it
// may be called before other work on the same pieces.
void refuse_unusable_pieces(const std::vector<std::string>& paths);

// Verifies a log offline. Never creates or changes a file. Throws UsageError
// for bad options and InputError (or logread::LogSourceError) for input that cannot be read.
Report verify_log(const VerifyOptions& options, const Progress& progress = {});

}  // namespace oxa::verify
