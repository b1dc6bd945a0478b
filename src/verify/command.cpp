#include "verify/command.hpp"

#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <new>
#include <string_view>

#include "store/file_io.hpp"
#include "verify/checkpoint_check.hpp"
#include "verify/report_text.hpp"
#include "verify/verifier.hpp"
#include "verify/verify_errors.hpp"

namespace oxa::verify {

namespace {

constexpr std::string_view usage_text =
    "usage: oxa-verify [--public-key HEX] [--anchor HEX]... [--json] [--jobs N] LOG [LOG...]\n"
    "       (add --checkpoints FILE --notary-key VKEY [--require-sealed]; or check one record:\n"
    "        oxa-verify --proof FILE --notary-key VKEY [--public-key HEX] [--json])\n"
    "\n"
    "Verifies an audit log offline: every record's format, content hash, signature,\n"
    "place in its chain and replayed consistency analysis. Several LOG files are read\n"
    "in the order given as one log (rotated pieces, oldest first); '-' is standard\n"
    "input; names ending in .gz are decompressed.\n"
    "\n"
    "  --public-key HEX  the engine's published public key (64 hex digits); without it\n"
    "                    the key is derived from LOG.key beside the first LOG\n"
    "  --anchor HEX      a merkle_root kept earlier that some record must have\n"
    "                    (repeatable); catches a cut-off tail\n"
    "  --json            the report as one JSON object\n"
    "  --jobs N          threads for the signature checks (default: all cores)\n"
    "\n"
    "Exit status: 0 no problem found, 1 problems found, 2 usage error or unreadable input.\n";

// Logs below this size finish before progress would help.
constexpr std::uint64_t progress_threshold_bytes = 4u << 20;
constexpr auto progress_interval = std::chrono::milliseconds(500);

void write_text(int fd, std::string_view text) { write_all(fd, text.data(), text.size()); }

int usage_error(int err_fd, std::string_view message) {
  std::string text = "oxa-verify: ";
  text += message;
  text += "\n";
  text += usage_text.substr(0, usage_text.find('\n') + 1);
  write_text(err_fd, text);
  return exit_usage;
}

unsigned parse_jobs(std::string_view text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > 1024) {
    throw UsageError("--jobs needs a whole number from 1 to 1024");
  }
  return value;
}

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

int run_verify_command(std::span<const std::string> args, int out_fd, int err_fd, std::string* json_copy) {
  VerifyOptions options;
  NotaryCheckOptions notary;
  bool as_json = false;
  try {
    bool options_end = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
      const std::string& arg = args[i];
      if (options_end || arg == "-" || arg.empty() || arg[0] != '-') {
        options.paths.push_back(arg);
        continue;
      }
      if (arg == "--") {
        options_end = true;
        continue;
      }
      if (arg == "-h" || arg == "--help") {
        write_text(out_fd, usage_text);
        write_text(out_fd, notary_usage_text);
        return exit_ok;
      }
      if (arg == "--json") {
        as_json = true;
        continue;
      }
      // Options with a value: "--name VALUE" or "--name=VALUE".
      const std::size_t equals = arg.find('=');
      const std::string name = arg.substr(0, equals);
      bool notary_value = false;
      const bool notary_option = is_notary_option(name, notary_value);
      if (notary_option && !notary_value) {
        if (equals != std::string::npos) throw UsageError(name + " takes no value");
        set_notary_option(notary, name, {});
        continue;
      }
      if (name != "--public-key" && name != "--anchor" && name != "--jobs" && !notary_option) {
        throw UsageError("unknown option " + name);
      }
      std::string value;
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        throw UsageError(name + " needs a value");
      }
      if (notary_option) {
        set_notary_option(notary, name, std::move(value));
      } else if (name == "--public-key") {
        options.public_key = value;
      } else if (name == "--anchor") {
        options.anchors.push_back(value);
      } else {
        options.jobs = parse_jobs(value);
      }
    }
    if (notary.proof) {
      const ProofOutcome proof = verify_proof(options, notary);
      write_text(out_fd, as_json ? proof.json : proof.plain);
      return proof.ok ? exit_ok : exit_problems;
    }
    if (options.paths.empty()) throw UsageError("no LOG given");

    CheckpointCheck checkpoints(options, notary);
    Report report;
    if (!as_json && ::isatty(err_fd) == 1) {
      ProgressLine line(err_fd);
      report = verify_log(options, [&line](std::uint64_t bytes, std::uint64_t records, std::uint64_t total) {
        line(bytes, records, total);
      });
    } else {
      report = verify_log(options);
    }
    checkpoints.add_to(report);
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
