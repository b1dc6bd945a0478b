#include "verify/report_statistics.hpp"

#include <cstdio>

#include "store/json_writer.hpp"

namespace oxa::verify {

namespace {

constexpr std::int64_t seconds_per_day = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date (valid for any year).
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) noexcept {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

CivilDate civil_from_days(std::int64_t days) noexcept {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned mp = (5 * day_of_year + 2) / 153;
  const unsigned day = day_of_year - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2), month, day};
}

unsigned number_at(std::string_view text, std::size_t from, std::size_t count) noexcept {
  unsigned value = 0;
  for (std::size_t i = from; i < from + count; ++i) value = value * 10 + static_cast<unsigned>(text[i] - '0');
  return value;
}

void time_member(std::string& out, std::string_view name, std::int64_t seconds) {
  json::key(out, name);
  json::string(out, time_text(seconds));
}

void count_member(std::string& out, std::string_view name, std::uint64_t value) {
  json::separator(out);
  json::key(out, name);
  json::unsigned_integer(out, value);
}

// [mean, min, max], or null when no record had a number.
void score_member(std::string& out, std::string_view name, const ScoreSummary& score) {
  json::separator(out);
  json::key(out, name);
  if (score.count == 0) {
    json::null(out);
    return;
  }
  json::begin_array(out);
  json::number(out, score.sum / static_cast<double>(score.count));
  json::separator(out);
  json::number(out, score.min);
  json::separator(out);
  json::number(out, score.max);
  json::end_array(out);
}

}  // namespace

std::int64_t timestamp_seconds(std::string_view text) noexcept {
  const std::int64_t days = days_from_civil(number_at(text, 0, 4), number_at(text, 5, 2), number_at(text, 8, 2));
  return days * seconds_per_day + number_at(text, 11, 2) * 3600 + number_at(text, 14, 2) * 60 + number_at(text, 17, 2);
}

std::string time_text(std::int64_t seconds) {
  std::int64_t days = seconds / seconds_per_day;
  std::int64_t rest = seconds % seconds_per_day;
  if (rest < 0) {
    rest += seconds_per_day;
    --days;
  }
  const CivilDate date = civil_from_days(days);
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld+00:00", static_cast<long long>(date.year),
                date.month, date.day, static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                static_cast<long long>(rest % 60));
  return text;
}

std::string valid_utf8_text(std::string_view text) {
  static constexpr std::string_view replacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    unsigned low = 0x80;  // the allowed range of the second byte (excludes overlong forms and surrogates)
    unsigned high = 0xBF;
    if (c < 0x80) {
      length = 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    }
    bool whole = length > 0 && i + length <= text.size();
    for (std::size_t k = 1; whole && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      whole = k == 1 ? next >= low && next <= high : next >= 0x80 && next <= 0xBF;
    }
    if (whole) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out.append(replacement);
      ++i;
    }
  }
  return out;
}

void statistics_json(std::string& out, const ReportStatistics& statistics) {
  json::begin_object(out);
  json::key(out, "first_time");
  statistics.timed ? json::string(out, statistics.first_time) : json::null(out);
  json::separator(out);
  json::key(out, "last_time");
  statistics.timed ? json::string(out, statistics.last_time) : json::null(out);
  json::separator(out);
  json::key(out, "bucket_seconds");
  json::integer(out, statistics.bucket_seconds);

  json::separator(out);
  json::key(out, "buckets");
  json::begin_array(out);
  for (std::size_t i = 0; i < statistics.buckets.size(); ++i) {
    const TimeBucket& bucket = statistics.buckets[i];
    if (i > 0) json::separator(out);
    json::begin_object(out);
    time_member(out, "start", bucket.start);
    count_member(out, "records", bucket.records);
    count_member(out, "unreadable", bucket.unreadable);
    count_member(out, "problems", bucket.problems);
    count_member(out, "core_insight", bucket.core_insight);
    count_member(out, "reviews_resolved", bucket.reviews_resolved);
    score_member(out, "coherence", bucket.coherence);
    score_member(out, "reputation", bucket.reputation);
    json::end_object(out);
  }
  json::end_array(out);

  json::separator(out);
  json::key(out, "chains");
  json::begin_array(out);
  for (std::size_t i = 0; i < statistics.chains.size(); ++i) {
    const ChainTimes& chain = statistics.chains[i];
    if (i > 0) json::separator(out);
    json::begin_object(out);
    time_member(out, "first_time", chain.first_time);
    json::separator(out);
    time_member(out, "last_time", chain.last_time);
    json::separator(out);
    json::key(out, "events");
    json::begin_array(out);
    for (std::size_t e = 0; e < chain.events.size(); ++e) {
      if (e > 0) json::separator(out);
      json::begin_object(out);
      json::key(out, "line");
      json::unsigned_integer(out, chain.events[e].line);
      json::separator(out);
      time_member(out, "time", chain.events[e].time);
      json::separator(out);
      json::key(out, "kind");
      json::string(out, chain.events[e].kind);
      json::end_object(out);
    }
    json::end_array(out);
    json::separator(out);
    json::key(out, "scores");
    json::begin_array(out);
    for (std::size_t s = 0; s < chain.scores.size(); ++s) {
      if (s > 0) json::separator(out);
      json::begin_object(out);
      time_member(out, "start", chain.scores[s].start);
      score_member(out, "coherence", chain.scores[s].coherence);
      score_member(out, "reputation", chain.scores[s].reputation);
      json::end_object(out);
    }
    json::end_array(out);
    json::end_object(out);
  }
  json::end_array(out);

  count_member(out, "core_insight", statistics.core_insight);
  count_member(out, "reviews_resolved", statistics.reviews_resolved);
  json::separator(out);
  json::key(out, "reviews");
  json::begin_array(out);
  for (std::size_t i = 0; i < statistics.reviews.size(); ++i) {
    if (i > 0) json::separator(out);
    json::begin_object(out);
    json::key(out, "terminal_node");
    json::string(out, statistics.reviews[i].terminal_node);
    count_member(out, "records", statistics.reviews[i].records);
    count_member(out, "resolved", statistics.reviews[i].resolved);
    json::end_object(out);
  }
  json::end_array(out);

  json::separator(out);
  json::key(out, "problem_lines");
  json::begin_array(out);
  for (std::size_t i = 0; i < statistics.problem_lines.size(); ++i) {
    if (i > 0) json::separator(out);
    json::begin_object(out);
    json::key(out, "line");
    json::unsigned_integer(out, statistics.problem_lines[i].line);
    json::separator(out);
    json::key(out, "text");
    json::string(out, statistics.problem_lines[i].text);
    json::separator(out);
    json::key(out, "cut");
    json::boolean(out, statistics.problem_lines[i].cut);
    json::end_object(out);
  }
  json::end_array(out);

  json::separator(out);
  json::key(out, "sealing");
  if (statistics.sealing.checked) {
    json::begin_object(out);
    json::key(out, "checkpoints");
    json::unsigned_integer(out, statistics.sealing.checkpoints);
    count_member(out, "sealed_lines", statistics.sealing.sealed_lines);
    count_member(out, "start_size", statistics.sealing.start_size);
    json::separator(out);
    json::key(out, "origin");
    json::string(out, valid_utf8_text(statistics.sealing.origin));
    json::end_object(out);
  } else {
    json::null(out);
  }
  json::end_object(out);
}

}  // namespace oxa::verify
