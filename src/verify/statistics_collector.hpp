#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "logread/record_format.hpp"
#include "verify/chain_tracker.hpp"
#include "verify/report_statistics.hpp"
#include "verify/verifier.hpp"

namespace oxa::verify {

// Gathers the report's statistics during the verifier's pass, one call per
// line, in hour buckets; finish() widens the buckets for long logs, places
// the problems on the time axis and reads back the lines that have problems.
// Per record it costs a time stamp parse and a few additions, and memory
// grows with the hours covered, not with the records.
class StatisticsCollector {
 public:
  // A line that is not a record: counted in the hour of the record before it.
  void add_unreadable(std::uint64_t line);
  // A record and where the chain tracker placed it; `chain` is its chain after placing.
  void add_record(std::uint64_t line, const logread::RecordFields& fields, const Placement& placement, const ChainInfo& chain);
  // Fills report.statistics from what was gathered, the report's problems
  // and chains. `paths` are read again, up to the last problem's line, for
  // the text of the lines with problems and for the OpenTelemetry trace and
  // span ids of the records among them, which go into their problems (not
  // for standard input).
  // `line_limit` bounds what a line re-read for its text may hold, as in the pass.
  void finish(Report& report, const std::vector<std::string>& paths, std::size_t line_limit);

 private:
  struct HourTotals {
    std::uint64_t records = 0;
    std::uint64_t unreadable = 0;
    std::uint64_t core_insight = 0;
    std::uint64_t reviews_resolved = 0;
    ScoreSummary coherence;
    ScoreSummary reputation;
  };
  struct ChainState {
    std::int64_t first_time = 0;
    std::int64_t last_time = 0;
    std::vector<ChainEvent> events;
    // Hours in the order met; an hour met again after another is a new entry, merged at the end.
    std::vector<ChainScores> hours;
    bool replay_stop_seen = false;
  };
  struct ReviewTotals {
    std::uint64_t records = 0;
    std::uint64_t resolved = 0;
  };

  HourTotals& hour_totals(std::int64_t hour);
  void add_event(ChainState& chain, std::uint64_t line, std::int64_t time, std::string_view kind);
  void read_problem_lines(Report& report, const std::vector<std::string>& paths, std::size_t line_limit);

  std::unordered_map<std::int64_t, HourTotals> hours_;
  std::int64_t cached_hour_ = 0;
  HourTotals* cached_ = nullptr;  // the totals of cached_hour_ (map nodes do not move)
  // The hour of every line, as runs: the lines from first_line up to the next
  // run's are in `hour`. Logs are written in time order, so there are about
  // as many runs as hours, which keeps memory flat however long the log.
  struct HourRun {
    std::uint64_t first_line;
    std::int64_t hour;
  };
  std::vector<HourRun> hour_runs_;
  std::uint64_t unreadable_before_first_ = 0;
  bool timed_ = false;
  std::int64_t last_hour_ = 0;  // of the latest record read, for the lines that are not records
  std::int64_t first_seconds_ = 0;
  std::int64_t last_seconds_ = 0;
  std::string first_text_;
  std::string last_text_;
  std::vector<ChainState> chains_;
  std::map<std::string, ReviewTotals, std::less<>> reviews_;
  ReviewTotals other_reviews_;
  std::uint64_t core_insight_ = 0;
  std::uint64_t reviews_resolved_ = 0;
  std::size_t events_ = 0;
};

}  // namespace oxa::verify
