#include "verify/span_ids.hpp"

#include <simdjson.h>

namespace oxa::verify {

namespace {

constexpr std::size_t trace_id_digits = 32;
constexpr std::size_t span_id_digits = 16;

bool hex_digits(std::string_view text, std::size_t count) noexcept {
  if (text.size() != count) return false;
  for (const char c : text) {
    const bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!digit) return false;
  }
  return true;
}

}  // namespace

// On demand: the members before the one looked for are skipped, not checked,
// and nothing after it is read.
struct SpanIdReader::Parser {
  simdjson::ondemand::parser parser;
  std::string scratch;  // a padded copy of the text being read

  simdjson::error_code start(std::string_view text, simdjson::ondemand::document& out) {
    scratch.reserve(text.size() + simdjson::SIMDJSON_PADDING);
    scratch.assign(text);
    return parser.iterate(scratch.data(), scratch.size(), scratch.capacity()).get(out);
  }
};

SpanIdReader::SpanIdReader() : parser_(std::make_unique<Parser>()) {}
SpanIdReader::~SpanIdReader() = default;

std::optional<SpanIds> SpanIdReader::read(std::string_view line) {
  simdjson::ondemand::document document;
  simdjson::ondemand::object object;
  if (parser_->start(line, document) != simdjson::SUCCESS || document.get_object().get(object) != simdjson::SUCCESS) {
    return std::nullopt;
  }
  std::string ctx_text;
  bool found = false;
  for (auto member : object) {
    std::string_view key;
    if (member.unescaped_key().get(key) != simdjson::SUCCESS) return std::nullopt;
    if (key != "ctx_json") continue;
    std::string_view text;
    if (member.value().get_string().get(text) != simdjson::SUCCESS) return std::nullopt;
    ctx_text.assign(text);  // the parser's own copy goes with the next document
    found = true;
    break;
  }
  if (!found || parser_->start(ctx_text, document) != simdjson::SUCCESS ||
      document.get_object().get(object) != simdjson::SUCCESS) {
    return std::nullopt;
  }
  SpanIds ids;
  bool trace_read = false;
  bool span_read = false;
  for (auto member : object) {
    std::string_view key;
    if (member.unescaped_key().get(key) != simdjson::SUCCESS) return std::nullopt;
    // The first of a repeated member counts.
    const bool trace = key == "trace_id" && !trace_read;
    const bool span = key == "span_id" && !span_read;
    if (!trace && !span) continue;
    std::string_view text;
    if (member.value().get_string().get(text) != simdjson::SUCCESS) return std::nullopt;
    (trace ? ids.trace_id : ids.span_id).assign(text);
    (trace ? trace_read : span_read) = true;
    if (trace_read && span_read) break;
  }
  if (!trace_read || !span_read || !hex_digits(ids.trace_id, trace_id_digits) ||
      !hex_digits(ids.span_id, span_id_digits)) {
    return std::nullopt;
  }
  return ids;
}

}  // namespace oxa::verify
