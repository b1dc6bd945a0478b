#include "verify/command.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <new>
#include <string_view>

#include "store/file_io.hpp"
#include "verify/report_text.hpp"
#include "verify/verifier.hpp"
#include "verify/verify_errors.hpp"

namespace oxa::verify {

namespace {

// Logs below this size finish before progress would help.
constexpr std::uint64_t progress_threshold_bytes = 4u << 20;
constexpr auto progress_interval = std::chrono::milliseconds(500);

void write_text(int fd, std::string_view text) { write_all(fd, text.data(), text.size()); }

int usage_error(int err_fd, std::string_view message) {
  std::string text = "oxa-verify: ";
  text += message;
  text += "\n";
  write_text(err_fd, text);
  return exit_usage;
}

constexpr std::string_view hash_only_message =
    "only the records' own seals were checked (content hash, signature, chain and replay), not the notary's "
    "checkpoints. The seal alone cannot show text moved across the boundaries of provenance, place, purpose "
    "and prompt (they are hashed without separators, so with the output padded to the same length it still "
    "verifies), a whole chain removed, or an old chain's records appended again under a new id: run "
    "oxa-notary beside the log and verify with --checkpoints";

// Prints bytes and records per second on one refreshed line of a terminal.
class ProgressLine {
 public:
  explicit ProgressLine(int fd) : fd_(fd), start_(std::chrono::steady_clock::now()), last_(start_) {}
  void operator()(std::uint64_t bytes, std::uint64_t records, std::uint64_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < progress_interval || (bytes < progress_threshold_bytes && total < progress_threshold_bytes)) {
      return;
    }
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    char text[160];
    int n;
    if (total > 0) {
      n = std::snprintf(text, sizeof text, "\r%.1f of %.1f MB, %llu records, %.1f MB/s, %.0f records/s ",
                        bytes / 1e6, total / 1e6, static_cast<unsigned long long>(records), bytes / 1e6 / seconds,
                        records / seconds);
    } else {
      n = std::snprintf(text, sizeof text, "\r%.1f MB, %llu records, %.1f MB/s, %.0f records/s ", bytes / 1e6,
                        static_cast<unsigned long long>(records), bytes / 1e6 / seconds, records / seconds);
    }
    if (n > 0) write_all(fd_, text, static_cast<std::size_t>(n));
    shown_ = true;
  }
  ~ProgressLine() {
    if (shown_) write_text(fd_, "\r\033[K");
  }

 private:
  int fd_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
  bool shown_ = false;
};

}  // namespace

Report verify_everything(const VerifyOptions& options, const NotaryCheckOptions& notary, const Progress& progress) {
  if (options.paths.empty()) throw UsageError("no LOG given");
  // Before the checkpoint check starts reading the same pieces beside it.
  refuse_unusable_pieces(options.paths);
  CheckpointCheck checkpoints(options, notary);
  Report report = verify_log(options, progress);
  checkpoints.add_to(report);
  if (!report.checkpoints.checked) {
    report.warnings.insert(report.warnings.begin(), Finding{0, kind_hash_only, std::string(hash_only_message)});
  }
  return report;
}

int run_verify_command(const VerifyOptions& options, const NotaryCheckOptions& notary, bool as_json, int out_fd,
                       int err_fd, std::string* json_copy) {
  try {
    if (notary.proof) {
      const ProofOutcome proof = verify_proof(options, notary);
      write_text(out_fd, as_json ? proof.json : proof.plain);
      return proof.ok ? exit_ok : exit_problems;
    }
    Report report;
    if (!as_json && ::isatty(err_fd) == 1) {
      ProgressLine line(err_fd);
      report = verify_everything(options, notary, [&line](std::uint64_t bytes, std::uint64_t records,
                                                          std::uint64_t total) { line(bytes, records, total); });
    } else {
      report = verify_everything(options, notary);
    }
    if (json_copy != nullptr) *json_copy = report_json(report);
    write_text(out_fd, as_json ? report_json(report) : report_plain(report));
    return report.ok ? exit_ok : exit_problems;
  } catch (const UsageError& e) {
    return usage_error(err_fd, e.what());
  } catch (const InputError& e) {
    write_text(err_fd, std::string("oxa-verify: ") + e.what() + "\n");
    return exit_usage;
  } catch (const std::bad_alloc&) {
    write_text(err_fd, "oxa-verify: out of memory\n");
    return exit_usage;
  }
}

}  // namespace oxa::verify
