#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/blake3_hash.hpp"
#include "store/signing_key.hpp"

namespace oxa::logread {

// The members of one log line that the checks use. The texts point into the
// reader's own storage and stay valid until its next read.
struct RecordFields {
  std::string_view id;
  std::string_view timestamp;
  Hash32 hash{};
  Signature signature{};
  Hash32 merkle_root{};
  // A null number (the writer's text for a NaN or an infinity) reads as NaN.
  double coherence = 0.0;
  double reputation = 0.0;
  std::string_view provenance;  // read out of ppp_json
  std::string_view place;
  std::string_view purpose;
  std::string_view prompt;
  std::string_view output;
  std::optional<std::string_view> core_insight_json;
  // Read out of human_delta_chain_json.
  bool review_resolved = false;
  std::string_view review_terminal_node;
};

// Reads log lines strictly: one JSON object with exactly the fifteen members
// of a record, in the log's order and with the log's types, and nothing after
// it. Numbers are read with correct rounding, so a float reads back as the
// very double that was written. One reader per thread.
class RecordReader {
 public:
  // Bytes that must be readable after a line handed to read() with
  // `padded` true (they may hold anything).
  static constexpr std::size_t padding = 64;

  RecordReader();
  ~RecordReader();
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  // Fills `fields` and returns an empty string, or returns what is wrong.
  // With `padded`, `padding` readable bytes follow the line and it is parsed
  // in place; otherwise it is copied first.
  std::string read(std::string_view line, bool padded, RecordFields& fields);

 private:
  struct Parsers;
  std::unique_ptr<Parsers> parsers_;
};

}  // namespace oxa::logread
