#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "verify/verifier.hpp"

namespace oxa::verify {

// `"name":[{"line":N,"file":"F","file_line":L,"kind":"K","message":"M","trace_id":"T","span_id":"S"},...]`,
// appended to `out` (file and file_line only for a finding about a line;
// trace_id and span_id only for one about a record sealed from a span).
void findings_json(std::string& out, std::string_view name, const std::vector<Finding>& findings);

// The report as one compact JSON object: ok, lines, records, public_key,
// key_source, key_file (when the key came from one), pieces, checkpoints
// (origin, count, sealed_lines, unsealed_lines, last_size; null when none
// were checked), chains (first_line,
// last_line, records, head), problems and warnings (line, kind, message; trace_id and span_id for a
// problem on a record sealed from an OpenTelemetry span),
// problems_not_listed, warnings_not_listed and statistics (the counts over
// time behind an auditor's charts). Followed by a line feed.
std::string report_json(const Report& report);

// The report for a reader: a short summary (lines, records, the chains, the
// key and where it came from), then the problems in line order, then the
// warnings and the verdict.
std::string report_plain(const Report& report);

}  // namespace oxa::verify
