#include "verify/verifier.hpp"

#include <algorithm>
#include <array>
#include <unordered_map>

#include "common/hex_text.hpp"
#include "engine/record_sealing.hpp"
#include "verify/chain_tracker.hpp"
#include "verify/key_reading.hpp"
#include "verify/log_source.hpp"
#include "verify/record_format.hpp"
#include "verify/signature_checker.hpp"
#include "verify/statistics_collector.hpp"
#include "verify/verify_errors.hpp"
#include "store/key_file.hpp"

namespace oxa::verify {

namespace {

static_assert(line_padding >= RecordReader::padding);

constexpr std::string_view break_message =
    "its merkle_root extends no open root: a record before it is missing, altered or out of order";
std::string fork_message(std::uint64_t earlier_line) {
  std::string message = "its merkle_root extends the root that the record at line ";
  message += std::to_string(earlier_line);
  message += " already extended: a duplicated or replayed record";
  return message;
}
constexpr std::string_view signature_message = "the signature does not verify under the public key";
constexpr std::string_view stopped_message =
    "the chain beginning here continues from records not in the log, so its consistency analysis cannot be "
    "replayed";
constexpr std::string_view torn_message = "the last line has no line feed (a write cut short)";
constexpr std::string_view torn_partial_message =
    "the last line has no line feed (a write cut short) and is not a whole record";
constexpr std::string_view key_file_message_start = "the public key was derived from the key file ";
constexpr std::string_view key_file_message_end =
    " beside the log, which proves nothing against someone able to rewrite both; give the published key with "
    "--public-key";

// The order of the checks on one line, for sorting problems.
int check_order(std::string_view kind) {
  static constexpr std::array<std::string_view, 7> order = {
      kind_anchor_missing, kind_malformed,      kind_hash_mismatch,     kind_bad_signature,
      kind_chain_break,    kind_fork,           kind_replay_mismatch};
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

// How often progress is reported, in lines.
constexpr std::uint64_t progress_every = 4096;

}  // namespace

Report verify_log(const VerifyOptions& options, const Progress& progress) {
  if (options.paths.empty()) throw UsageError("no log given");
  Report report;

  PublicKey key{};
  if (options.public_key) {
    key = parse_hex32(*options.public_key, "the public key");
    report.key_source = key_source_argument;
  } else {
    if (options.paths.front() == standard_input_name) {
      throw UsageError("a log read from standard input needs --public-key");
    }
    report.key_file = key_file_path(options.paths.front());
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
    LogSource source(options.paths);
    const std::uint64_t total = source.size_complete() ? source.known_size() : 0;
    SignatureChecker signatures(key, jobs);
    RecordReader reader;
    ChainTracker tracker;
    RecordFields fields;
    LogLine line;
    while (source.next(line)) {
      ++report.lines;
      if (progress && report.lines % progress_every == 0) progress(source.bytes_consumed(), report.records, total);
      std::string wrong = reader.read(line.text, true, fields);
      if (!line.terminated) {
        // What a crash while writing leaves: reported, not failed; a tail that
        // still reads as a whole record is checked as one.
        report.warnings.push_back(
            Finding{line.number, kind_torn_tail, std::string(wrong.empty() ? torn_message : torn_partial_message)});
        if (!wrong.empty()) break;
      }
      if (!wrong.empty()) {
        problems.add(line.number, kind_malformed, "not a record: " + wrong);
        statistics.add_unreadable(line.number);
        continue;
      }
      ++report.records;

      const Hash32 recomputed = content_hash(SealInput{fields.provenance, fields.place, fields.purpose, fields.prompt,
                                                       fields.coherence, fields.reputation});
      if (recomputed != fields.hash) {
        problems.add(line.number, kind_hash_mismatch, hash_mismatch_message(recomputed, fields.hash));
      }
      signatures.add(line.number, fields.hash, fields.signature);

      const Placement placement = tracker.place(line.number, fields);
      statistics.add_record(line.number, fields, placement, tracker.chains()[placement.chain]);
      if (placement.link == Link::chain_break) problems.add(line.number, kind_chain_break, std::string(break_message));
      if (placement.link == Link::fork) problems.add(line.number, kind_fork, fork_message(placement.earlier_line));
      if (placement.replay_checked && !placement.replay_matched) {
        problems.add(line.number, kind_replay_mismatch, placement.replay_message);
      }
      if (!tracker.chains()[placement.chain].replaying && placement.link != Link::extended) {
        if (report.warnings.size() < problem_listing_limit) {
          report.warnings.push_back(Finding{line.number, kind_replay_stopped, std::string(stopped_message)});
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
    for (const std::uint64_t bad : signatures.finish()) {
      problems.add(bad, kind_bad_signature, std::string(signature_message));
    }
    for (const ChainInfo& chain : tracker.chains()) {
      report.chains.push_back(ChainSummary{chain.first_line, chain.last_line, chain.records, hex_text(chain.head)});
    }
  } catch (const LogSourceError& e) {
    throw InputError(e.what());
  }

  for (const auto& [root, seen] : anchors) {
    if (!seen) problems.add(0, kind_anchor_missing, "no record has the anchor root " + hex_text(root));
  }
  report.problems = problems.take(report.problems_not_listed);
  std::stable_sort(report.warnings.begin(), report.warnings.end(),
                   [](const Finding& a, const Finding& b) { return a.line < b.line; });
  report.ok = report.problems.empty();
  statistics.finish(report, options.paths);
  return report;
}

}  // namespace oxa::verify
