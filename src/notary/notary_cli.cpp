#include "notary/notary_cli.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "common/file_status.hpp"
#include "common/os_error.hpp"
#include "notary/base64_text.hpp"
#include "notary/notary_commands.hpp"
#include "notary/tile_proofs.hpp"
#include "store/file_io.hpp"
#include "store/json_writer.hpp"

namespace oxa::notary {

namespace {

constexpr std::string_view usage_text =
    "usage: oxa-notary keygen [--key FILE] NAME\n"
    "       oxa-notary seal --key KEYFILE --origin ORIGIN [--out FILE] [--tiles DIR | --no-tiles]\n"
    "                       [--recheck] [--json] LOG [LOG...]\n"
    "       oxa-notary follow --key KEYFILE --origin ORIGIN [--out FILE] [--tiles DIR | --no-tiles]\n"
    "                         [--recheck] [--every N] [--seconds T] [--json] LOG [LOG...]\n"
    "       oxa-notary prove --checkpoints FILE [--tiles DIR] [--out FILE] LOG [LOG...] LINE\n"
    "       oxa-notary consistency --tiles DIR OLD NEW\n"
    "\n"
    "  keygen   writes a new private key (default notary.key, never overwritten) and\n"
    "           prints the verifier key to publish\n"
    "  seal     appends a signed checkpoint of the log to FILE (default LOG.checkpoints\n"
    "           beside the last piece) when the log grew\n"
    "  follow   keeps sealing the live log: every N lines (64) or T seconds (5), on\n"
    "           rotation and at SIGTERM or SIGINT\n"
    "  prove    writes the tlog-proof of one line (from 1) with the line itself\n"
    "  consistency  prints the consistency proof between tree sizes OLD and NEW\n"
    "           (at most the published checkpoint's), one base64 hash a line\n"
    "\n"
    "  seal and follow keep the tree as tiles in DIR (default LOG.tiles beside the\n"
    "  checkpoint file), with the latest signed checkpoint in DIR/checkpoint\n";

constexpr std::string_view default_key_file = "notary.key";

struct UsageError {
  std::string message;
};

void write_text(int fd, std::string_view text) { write_all(fd, text.data(), text.size()); }

struct Arguments {
  std::string command;
  std::vector<std::string> positional;
  std::optional<std::string> key, origin, out, checkpoints, every, seconds, tiles;
  bool recheck = false;
  bool no_tiles = false;
  bool json = false;
};

Arguments parse(std::span<const std::string> args) {
  if (args.empty()) throw UsageError{"a command is needed: keygen, seal, follow, prove or consistency"};
  Arguments parsed;
  parsed.command = args[0];
  if (parsed.command != "keygen" && parsed.command != "seal" && parsed.command != "follow" &&
      parsed.command != "prove" && parsed.command != "consistency")
    throw UsageError{"unknown command '" + parsed.command + "'"};
  const bool sealing = parsed.command == "seal" || parsed.command == "follow";
  bool options_done = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg.size() < 2 || arg[0] != '-' || arg == "-") {
      parsed.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    std::string name = arg;
    std::optional<std::string> inline_value;
    if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
      name = arg.substr(0, eq);
      inline_value = arg.substr(eq + 1);
    }
    if ((name == "--recheck" && sealing) || (name == "--no-tiles" && sealing) ||
        (name == "--json" && parsed.command != "keygen" && parsed.command != "consistency")) {
      if (inline_value) throw UsageError{"option " + name + " takes no value"};
      (name == "--json" ? parsed.json : name == "--recheck" ? parsed.recheck : parsed.no_tiles) = true;
      continue;
    }
    std::optional<std::string>* slot = nullptr;
    if (name == "--key" && (sealing || parsed.command == "keygen")) slot = &parsed.key;
    else if (name == "--origin" && sealing) slot = &parsed.origin;
    else if (name == "--out" && parsed.command != "keygen" && parsed.command != "consistency") slot = &parsed.out;
    else if (name == "--tiles" && parsed.command != "keygen") slot = &parsed.tiles;
    else if (name == "--checkpoints" && parsed.command == "prove") slot = &parsed.checkpoints;
    else if (name == "--every" && parsed.command == "follow") slot = &parsed.every;
    else if (name == "--seconds" && parsed.command == "follow") slot = &parsed.seconds;
    if (!slot) throw UsageError{"unknown option " + name + " for " + parsed.command};
    if (*slot) throw UsageError{"option " + name + " given twice"};
    if (inline_value) {
      *slot = *inline_value;
    } else {
      if (i + 1 >= args.size()) throw UsageError{"option " + name + " needs a value"};
      *slot = args[++i];
    }
  }
  return parsed;
}

// Whether two names lead to one existing file.
bool same_file(const std::string& a, const std::string& b) {
  FileStatus first, second;
  return !holds_nul(a) && !holds_nul(b) && path_status(a.c_str(), first) == 0 &&
         path_status(b.c_str(), second) == 0 && first.device == second.device && first.inode == second.inode;
}

// The notary only ever writes its output file: one that is also an input
// (a log piece, the checkpoint file of a proof) would be damaged by it.
void refuse_output_among_inputs(const std::string& out, const std::vector<std::string>& inputs) {
  for (const std::string& input : inputs) {
    if (same_file(out, input)) throw UsageError{"the output " + out + " is also an input (" + input + ")"};
  }
}

std::uint64_t parse_count(const std::string& text, std::string_view what) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value == 0)
    throw UsageError{std::string(what) + " must be a positive whole number, not '" + text + "'"};
  return value;
}

// A tree size: a whole number, 0 included.
std::uint64_t parse_size(const std::string& text, std::string_view what) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size())
    throw UsageError{std::string(what) + " must be a whole number, not '" + text + "'"};
  return value;
}

double parse_seconds(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) || value <= 0)
    throw UsageError{"--seconds must be a positive number, not '" + text + "'"};
  return value;
}

SealOptions seal_options(const Arguments& parsed) {
  if (!parsed.key) throw UsageError{"--key KEYFILE is needed"};
  if (!parsed.origin) throw UsageError{"--origin ORIGIN is needed"};
  if (parsed.positional.empty()) throw UsageError{"no log given"};
  SealOptions options;
  options.key_path = *parsed.key;
  options.origin = *parsed.origin;
  options.out_path = parsed.out.value_or("");
  options.logs = parsed.positional;
  options.recheck = parsed.recheck;
  if (parsed.tiles && parsed.no_tiles) throw UsageError{"--tiles and --no-tiles do not go together"};
  if (parsed.tiles && parsed.tiles->empty()) throw UsageError{"--tiles needs a directory"};
  options.tiles = !parsed.no_tiles;
  options.tiles_dir = parsed.tiles.value_or("");
  if (parsed.every) options.every = parse_count(*parsed.every, "--every");
  if (parsed.seconds) options.seconds = parse_seconds(*parsed.seconds);
  return options;
}

std::string outcome_text(const NotaryOutcome& outcome, const std::string& checkpoint_file, bool as_json) {
  if (!as_json) {
    std::string text = outcome.status == 0 ? "" : "refused: ";
    text += outcome.message;
    text += "\n";
    if (outcome.status == 0)
      text += "tree: " + std::to_string(outcome.size) + " lines, " + std::to_string(outcome.bytes) +
              " bytes, root " + outcome.root + "\ncheckpoints: " + checkpoint_file + " (" +
              std::to_string(outcome.checkpoints_written) + " written)\n";
    return text;
  }
  std::string out;
  json::begin_object(out);
  json::key(out, "ok");
  json::boolean(out, outcome.status == 0);
  json::separator(out);
  json::key(out, "size");
  json::unsigned_integer(out, outcome.size);
  json::separator(out);
  json::key(out, "bytes");
  json::unsigned_integer(out, outcome.bytes);
  json::separator(out);
  json::key(out, "root");
  json::string(out, outcome.root);
  json::separator(out);
  json::key(out, "checkpoints_written");
  json::unsigned_integer(out, outcome.checkpoints_written);
  json::separator(out);
  json::key(out, "checkpoint_file");
  json::string(out, checkpoint_file);
  json::separator(out);
  json::key(out, "message");
  json::string(out, outcome.message);
  json::end_object(out);
  out += '\n';
  return out;
}

int run(const Arguments& parsed, const std::function<bool()>& should_stop, int out_fd, int err_fd) {
  if (parsed.command == "keygen") {
    if (parsed.positional.size() != 1) throw UsageError{"keygen takes one NAME"};
    const std::string vkey = keygen(parsed.key.value_or(std::string(default_key_file)), parsed.positional[0]);
    write_text(out_fd, vkey + "\n");
    return notary_exit_ok;
  }
  if (parsed.command == "consistency") {
    if (!parsed.tiles || parsed.tiles->empty()) throw UsageError{"--tiles DIR is needed"};
    if (parsed.positional.size() != 2) throw UsageError{"consistency takes OLD and NEW"};
    const std::uint64_t old_size = parse_size(parsed.positional[0], "OLD");
    const std::uint64_t new_size = parse_size(parsed.positional[1], "NEW");
    std::string text;
    for (const TreeHash& hash : consistency_from_tiles(*parsed.tiles, old_size, new_size))
      text += base64_encode(hash) + "\n";
    write_text(out_fd, text);
    return notary_exit_ok;
  }
  if (parsed.command == "prove") {
    if (!parsed.checkpoints) throw UsageError{"--checkpoints FILE is needed"};
    if (parsed.positional.size() < 2) throw UsageError{"prove needs LOG and LINE"};
    std::vector<std::string> logs(parsed.positional.begin(), parsed.positional.end() - 1);
    const std::uint64_t line = parse_count(parsed.positional.back(), "LINE");
    const std::string proof = prove(*parsed.checkpoints, logs, line, parsed.tiles.value_or(""));
    if (!parsed.out) {
      write_text(out_fd, proof);
      return notary_exit_ok;
    }
    if (holds_nul(*parsed.out)) throw NotaryInputError("proof file: the name holds a NUL byte");
    std::vector<std::string> inputs = logs;
    inputs.push_back(*parsed.checkpoints);
    refuse_output_among_inputs(*parsed.out, inputs);
    // The proof file is made new each time: a proof names one line.
    std::FILE* file = std::fopen(parsed.out->c_str(), "wbe");
    if (!file) throw NotaryInputError("proof file " + *parsed.out + ": cannot be written: " + describe_os_error(errno));
    const bool written = std::fwrite(proof.data(), 1, proof.size(), file) == proof.size();
    const int write_error = errno;
    if (std::fclose(file) != 0 || !written)
      throw NotaryInputError("proof file " + *parsed.out + ": cannot be written: " +
                             describe_os_error(written ? errno : write_error));
    return notary_exit_ok;
  }
  const SealOptions options = seal_options(parsed);
  const std::string checkpoint_file = options.out_path.empty() ? default_checkpoint_path(options.logs) : options.out_path;
  refuse_output_among_inputs(checkpoint_file, options.logs);
  const NotaryOutcome outcome = parsed.command == "seal" ? seal(options) : follow(options, should_stop);
  write_text(outcome.status == 0 || parsed.json ? out_fd : err_fd, outcome_text(outcome, checkpoint_file, parsed.json));
  return outcome.status == 0 ? notary_exit_ok : notary_exit_refused;
}

}  // namespace

int run_notary_command(std::span<const std::string> args, const std::function<bool()>& should_stop, int out_fd,
                       int err_fd) {
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "-h" || arg == "--help") {
      write_text(out_fd, usage_text);
      return notary_exit_ok;
    }
  }
  try {
    return run(parse(args), should_stop, out_fd, err_fd);
  } catch (const UsageError& error) {
    write_text(err_fd, "oxa-notary: error: " + error.message + "\n" + std::string(usage_text));
  } catch (const NotaryInputError& error) {
    write_text(err_fd, "oxa-notary: error: " + std::string(error.what()) + "\n");
  }
  return notary_exit_usage;
}

}  // namespace oxa::notary
