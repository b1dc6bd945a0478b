#include "verify/statistics_collector.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "logread/log_source.hpp"
#include "verify/span_ids.hpp"

namespace oxa::verify {

namespace {

constexpr std::int64_t seconds_per_hour = 3600;
constexpr std::int64_t hours_per_day = 24;
// Logs spanning up to this many hours are shown per hour, then per day up to
// the next limit; longer ones per week (or a multiple) so that a chart never
// has more than about a thousand bars.
constexpr std::int64_t hourly_span_limit = 14 * hours_per_day;
constexpr std::int64_t daily_span_limit = 1000 * hours_per_day;
constexpr std::int64_t bucket_count_limit = 1000;

std::int64_t floor_division(std::int64_t value, std::int64_t divisor) noexcept {
  std::int64_t quotient = value / divisor;
  if (value % divisor != 0 && (value < 0) != (divisor < 0)) --quotient;
  return quotient;
}

std::int64_t bucket_hours_for(std::int64_t span_hours) noexcept {
  if (span_hours <= hourly_span_limit) return 1;
  if (span_hours <= daily_span_limit) return hours_per_day;
  std::int64_t width = 7 * hours_per_day;
  while (span_hours / width > bucket_count_limit) width *= 2;
  return width;
}

}  // namespace

StatisticsCollector::HourTotals& StatisticsCollector::hour_totals(std::int64_t hour) {
  if (cached_ == nullptr || cached_hour_ != hour) {
    cached_ = &hours_[hour];
    cached_hour_ = hour;
  }
  return *cached_;
}

void StatisticsCollector::add_event(ChainState& chain, std::uint64_t line, std::int64_t time, std::string_view kind) {
  if (chain.events.size() >= chain_event_limit) return;
  chain.events.push_back(ChainEvent{line, time, kind});
  ++events_;
}

void StatisticsCollector::add_unreadable(std::uint64_t) {
  // The line belongs to the run of the record before it, which is still open.
  if (timed_) {
    ++hour_totals(last_hour_).unreadable;
  } else {
    ++unreadable_before_first_;
  }
}

void StatisticsCollector::add_record(std::uint64_t line, const logread::RecordFields& fields, const Placement& placement,
                                     const ChainInfo& chain_info) {
  const std::int64_t seconds = timestamp_seconds(fields.timestamp);
  const std::int64_t hour = floor_division(seconds, seconds_per_hour);
  if (hour_runs_.empty() || hour_runs_.back().hour != hour) hour_runs_.push_back(HourRun{line, hour});
  if (!timed_ || seconds < first_seconds_) {
    first_seconds_ = seconds;
    first_text_.assign(fields.timestamp);
  }
  if (!timed_ || seconds > last_seconds_) {
    last_seconds_ = seconds;
    last_text_.assign(fields.timestamp);
  }
  timed_ = true;
  last_hour_ = hour;

  HourTotals& totals = hour_totals(hour);
  ++totals.records;
  totals.coherence.add(fields.coherence);
  totals.reputation.add(fields.reputation);
  if (fields.core_insight_json) {
    ++totals.core_insight;
    ++core_insight_;
  }
  if (fields.review_resolved) {
    ++totals.reviews_resolved;
    ++reviews_resolved_;
  }

  ReviewTotals* review = &other_reviews_;
  if (auto found = reviews_.find(fields.review_terminal_node); found != reviews_.end()) {
    review = &found->second;
  } else if (reviews_.size() < review_node_limit) {
    review = &reviews_.emplace(std::string(fields.review_terminal_node), ReviewTotals{}).first->second;
  }
  ++review->records;
  if (fields.review_resolved) ++review->resolved;

  if (placement.chain >= chains_.size()) chains_.resize(placement.chain + 1);
  ChainState& chain = chains_[placement.chain];
  if (chain.hours.empty()) {
    chain.first_time = seconds;
    chain.last_time = seconds;
  } else {
    chain.first_time = std::min(chain.first_time, seconds);
    chain.last_time = std::max(chain.last_time, seconds);
  }
  if (chain.hours.empty() || chain.hours.back().start != hour) chain.hours.push_back(ChainScores{hour, {}, {}});
  chain.hours.back().coherence.add(fields.coherence);
  chain.hours.back().reputation.add(fields.reputation);

  if (placement.link == Link::chain_break) add_event(chain, line, seconds, kind_chain_break);
  if (placement.link == Link::fork) add_event(chain, line, seconds, kind_fork);
  if (placement.replay_checked && !placement.replay_matched) add_event(chain, line, seconds, kind_replay_mismatch);
  if (!chain_info.replaying && !chain.replay_stop_seen) {
    chain.replay_stop_seen = true;
    add_event(chain, line, seconds, kind_replay_stopped);
  }
}

void StatisticsCollector::finish(Report& report, const std::vector<std::string>& paths, std::size_t line_limit) {
  ReportStatistics& out = report.statistics;
  out.timed = timed_;
  out.first_time = first_text_;
  out.last_time = last_text_;
  out.core_insight = core_insight_;
  out.reviews_resolved = reviews_resolved_;

  // Buckets: the hours gathered, widened for a long span.
  std::int64_t bucket_hours = 1;
  if (!hours_.empty()) {
    const auto [low, high] = std::minmax_element(hours_.begin(), hours_.end(),
                                                 [](const auto& a, const auto& b) { return a.first < b.first; });
    bucket_hours = bucket_hours_for(high->first - low->first + 1);
  }
  out.bucket_seconds = bucket_hours * seconds_per_hour;
  auto bucket_of = [bucket_hours](std::int64_t hour) { return floor_division(hour, bucket_hours) * bucket_hours; };
  std::map<std::int64_t, TimeBucket> buckets;
  for (const auto& [hour, totals] : hours_) {
    TimeBucket& bucket = buckets[bucket_of(hour)];
    bucket.records += totals.records;
    bucket.unreadable += totals.unreadable;
    bucket.core_insight += totals.core_insight;
    bucket.reviews_resolved += totals.reviews_resolved;
    bucket.coherence.merge(totals.coherence);
    bucket.reputation.merge(totals.reputation);
  }
  // Lines before the first record belong to its hour.
  if (!hour_runs_.empty()) buckets[bucket_of(hour_runs_.front().hour)].unreadable += unreadable_before_first_;
  for (const Finding& problem : report.problems) {
    if (problem.line == 0 || hour_runs_.empty()) continue;
    auto run = std::upper_bound(hour_runs_.begin(), hour_runs_.end(), problem.line,
                                [](std::uint64_t line, const HourRun& r) { return line < r.first_line; });
    if (run != hour_runs_.begin()) --run;
    ++buckets[bucket_of(run->hour)].problems;
  }
  out.buckets.clear();
  for (auto& [start_hour, bucket] : buckets) {
    bucket.start = start_hour * seconds_per_hour;
    out.buckets.push_back(bucket);
  }

  // Chains: their spans and events, and the scores of the largest ones.
  std::vector<std::size_t> order(chains_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  auto records_of = [&report](std::size_t i) { return i < report.chains.size() ? report.chains[i].records : 0; };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return records_of(a) > records_of(b); });
  if (order.size() > score_chain_limit) order.resize(score_chain_limit);
  out.chains.clear();
  for (ChainState& chain : chains_) {
    ChainTimes times;
    times.first_time = chain.first_time;
    times.last_time = chain.last_time;
    times.events = std::move(chain.events);
    out.chains.push_back(std::move(times));
  }
  for (const std::size_t i : order) {
    std::map<std::int64_t, ChainScores> scores;
    for (const ChainScores& hour : chains_[i].hours) {
      ChainScores& bucket = scores[bucket_of(hour.start)];
      bucket.coherence.merge(hour.coherence);
      bucket.reputation.merge(hour.reputation);
    }
    for (auto& [start_hour, bucket] : scores) {
      bucket.start = start_hour * seconds_per_hour;
      out.chains[i].scores.push_back(bucket);
    }
  }

  out.reviews.clear();
  for (const auto& [node, totals] : reviews_) out.reviews.push_back(ReviewCount{node, totals.records, totals.resolved});
  if (other_reviews_.records > 0) {
    out.reviews.push_back(
        ReviewCount{std::string(other_terminal_nodes), other_reviews_.records, other_reviews_.resolved});
  }
  std::stable_sort(out.reviews.begin(), out.reviews.end(),
                   [](const ReviewCount& a, const ReviewCount& b) { return a.records > b.records; });

  read_problem_lines(report, paths, line_limit);
}

void StatisticsCollector::read_problem_lines(Report& report, const std::vector<std::string>& paths,
                                             std::size_t line_limit) {
  std::vector<std::uint64_t> wanted;
  for (const Finding& problem : report.problems) {
    if (problem.line > 0) wanted.push_back(problem.line);
  }
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  // Standard input cannot be read a second time: its lines go without their text and span ids.
  if (wanted.empty() || std::find(paths.begin(), paths.end(), logread::standard_input_name) != paths.end()) return;
  // The text of the first lines only; the span ids of every listed problem's line.
  const std::uint64_t last_text_line = wanted[std::min(wanted.size(), problem_line_limit) - 1];
  std::vector<std::pair<std::uint64_t, SpanIds>> spans;
  std::vector<ProblemLine>& lines = report.statistics.problem_lines;
  try {
    logread::LogSource source(paths);
    // A line too long for the pass is passed over here too, never held whole:
    // it is shown without its text.
    source.set_line_limit(line_limit);
    SpanIdReader span_ids;
    logread::LogLine line;
    std::size_t next = 0;
    while (next < wanted.size() && source.next(line)) {
      while (next < wanted.size() && wanted[next] < line.number) ++next;
      if (next < wanted.size() && wanted[next] == line.number) {
        if (line.number <= last_text_line) {
          const bool cut = line.too_long || line.text.size() > problem_line_bytes;
          lines.push_back(ProblemLine{line.number, valid_utf8_text(line.text.substr(0, problem_line_bytes)), cut});
        }
        if (!line.too_long) {
          if (std::optional<SpanIds> ids = span_ids.read(line.text)) spans.emplace_back(line.number, std::move(*ids));
        }
        ++next;
      }
    }
  } catch (const logread::LogSourceError&) {
    // A log that became unreadable since the pass: the report stands without these texts and ids.
  }
  for (Finding& problem : report.problems) {
    const auto found = std::lower_bound(spans.begin(), spans.end(), problem.line,
                                        [](const auto& entry, std::uint64_t line) { return entry.first < line; });
    if (found == spans.end() || found->first != problem.line) continue;
    problem.trace_id = found->second.trace_id;
    problem.span_id = found->second.span_id;
  }
}

}  // namespace oxa::verify
