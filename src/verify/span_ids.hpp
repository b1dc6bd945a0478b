#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace oxa::verify {

// The OpenTelemetry trace and span of a record sealed from a span, as the
// record's ctx holds them (32 and 16 hexadecimal digits, as OTLP shows them).
struct SpanIds {
  std::string trace_id;
  std::string span_id;
};

// Reads the span ids out of log lines: the line's "ctx_json" member, and in
// that JSON text the "trace_id" and "span_id" members. Only what leads to
// them is read, so a line damaged elsewhere (a wrong hash, a bad signature,
// a member of the wrong type, even a ctx holding a NaN) still gives them.
// Ids of any other shape are not taken: they go into a report as they are.
// One reader per thread.
class SpanIdReader {
 public:
  SpanIdReader();
  ~SpanIdReader();
  SpanIdReader(const SpanIdReader&) = delete;
  SpanIdReader& operator=(const SpanIdReader&) = delete;

  // nullopt for a line that is no JSON object, has no ctx_json text, or
  // whose ctx holds no ids of that shape.
  std::optional<SpanIds> read(std::string_view line);

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
};

}  // namespace oxa::verify
