#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/signing_key.hpp"
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
// Warning kinds.
inline constexpr std::string_view kind_torn_tail = "torn-tail";
inline constexpr std::string_view kind_replay_stopped = "replay-stopped";
inline constexpr std::string_view kind_key_from_log_directory = "key-from-log-directory";

inline constexpr std::string_view key_source_argument = "argument";
inline constexpr std::string_view key_source_key_file = "key-file";

struct VerifyOptions {
  std::vector<std::string> paths;          // the pieces, oldest first; "-" is standard input
  std::optional<std::string> public_key;   // 64 hex digits; else the key file beside the first piece
  std::vector<std::string> anchors;        // 64 hex digits each
  unsigned jobs = 0;                       // threads; 0 means every available core
};

struct Finding {
  std::uint64_t line = 0;  // 0 for what concerns no single line
  std::string_view kind;   // one of the kinds above
  std::string message;
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
  ReportStatistics statistics;  // for charts: counts over time, per chain, reviews, problem lines
};

// Called now and then with the logical bytes read and records seen so far,
// and the total size when it is known (0 otherwise).
using Progress = std::function<void(std::uint64_t bytes, std::uint64_t records, std::uint64_t total)>;

// At most this many problems (and as many warnings) are listed; the rest are only counted.
inline constexpr std::size_t problem_listing_limit = 10000;

// Verifies a log offline. Never creates or changes a file. Throws UsageError
// for bad options and InputError (or LogSourceError) for input that cannot be read.
Report verify_log(const VerifyOptions& options, const Progress& progress = {});

}  // namespace oxa::verify
