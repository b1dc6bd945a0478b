#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What the verification saw of the log over time, for charts: records and
// problems per time bucket, each chain's span and events, the scores, the
// reviews and the sealed part. Collected in the verifier's own pass.
namespace oxa::verify {

// Summary of one score (coherence or reputation) over some records; NaN
// scores are left out of it.
struct ScoreSummary {
  std::uint64_t count = 0;
  double sum = 0.0;
  double min = 0.0;
  double max = 0.0;

  void add(double value) noexcept {
    if (value != value) return;  // NaN
    if (count == 0 || value < min) min = value;
    if (count == 0 || value > max) max = value;
    sum += value;
    ++count;
  }
  void merge(const ScoreSummary& other) noexcept {
    if (other.count == 0) return;
    if (count == 0 || other.min < min) min = other.min;
    if (count == 0 || other.max > max) max = other.max;
    sum += other.sum;
    count += other.count;
  }
};

struct TimeBucket {
  std::int64_t start = 0;  // seconds since 1970-01-01T00:00:00Z
  std::uint64_t records = 0;
  std::uint64_t unreadable = 0;        // lines there that are not records
  std::uint64_t problems = 0;          // listed problems on its lines
  std::uint64_t core_insight = 0;      // records with a core insight
  std::uint64_t reviews_resolved = 0;  // records whose review is resolved
  ScoreSummary coherence;
  ScoreSummary reputation;
};

// A chain's scores in one time bucket.
struct ChainScores {
  std::int64_t start = 0;
  ScoreSummary coherence;
  ScoreSummary reputation;
};

// Something that happened to a chain at a record: a break or fork that
// began it, a replay that did not match or stopped there.
struct ChainEvent {
  std::uint64_t line = 0;
  std::int64_t time = 0;
  std::string_view kind;
};

// Parallel to the report's chains.
struct ChainTimes {
  std::int64_t first_time = 0;
  std::int64_t last_time = 0;
  std::vector<ChainEvent> events;   // at most chain_event_limit
  std::vector<ChainScores> scores;  // only for the largest chains (score_chain_limit)
};

struct ReviewCount {
  std::string terminal_node;  // other_terminal_nodes for the rest beyond the limit
  std::uint64_t records = 0;
  std::uint64_t resolved = 0;
};

// The text of a line that has a problem, as read back from the log.
struct ProblemLine {
  std::uint64_t line = 0;
  std::string text;   // valid UTF-8 (other bytes replaced), at most problem_line_bytes
  bool cut = false;   // the line was longer
};

// What a checkpoint check found of the sealed part (when one ran).
struct SealingSummary {
  bool checked = false;
  std::uint64_t checkpoints = 0;
  std::uint64_t sealed_lines = 0;  // logical lines covered by the last checkpoint that holds
  std::uint64_t start_size = 0;    // logical lines before the log's first (older pieces gone)
  std::string origin;
};

inline constexpr std::size_t score_chain_limit = 8;
inline constexpr std::size_t chain_event_limit = 100;
inline constexpr std::size_t review_node_limit = 50;
inline constexpr std::size_t problem_line_limit = 100;
inline constexpr std::size_t problem_line_bytes = 2000;
inline constexpr std::string_view other_terminal_nodes = "(other terminal nodes)";

struct ReportStatistics {
  bool timed = false;  // some record was read (the times below mean something)
  std::string first_time;  // the earliest and latest time stamps, as written
  std::string last_time;
  std::int64_t bucket_seconds = 3600;
  std::vector<TimeBucket> buckets;  // only buckets with lines, in time order
  std::vector<ChainTimes> chains;
  std::uint64_t core_insight = 0;
  std::uint64_t reviews_resolved = 0;
  std::vector<ReviewCount> reviews;  // most records first
  std::vector<ProblemLine> problem_lines;  // in line order
  SealingSummary sealing;
};

// The statistics as one JSON object (the "statistics" member of the report).
void statistics_json(std::string& out, const ReportStatistics& statistics);

// Seconds since 1970-01-01T00:00:00Z of a time stamp text of the log's shape
// (YYYY-MM-DDTHH:MM:SS..., its fraction ignored); the caller has checked the shape.
std::int64_t timestamp_seconds(std::string_view text) noexcept;
// The same seconds back as "YYYY-MM-DDTHH:MM:SS+00:00".
std::string time_text(std::int64_t seconds);

// `text` with every byte that is not part of well-formed UTF-8 replaced by
// U+FFFD, so that a damaged line can be shown and carried in JSON.
std::string valid_utf8_text(std::string_view text);

}  // namespace oxa::verify
