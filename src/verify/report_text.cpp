#include "verify/report_text.hpp"

#include "store/json_writer.hpp"

namespace oxa::verify {

void findings_json(std::string& out, std::string_view name, const std::vector<Finding>& findings) {
  json::key(out, name);
  json::begin_array(out);
  for (std::size_t i = 0; i < findings.size(); ++i) {
    if (i > 0) json::separator(out);
    json::begin_object(out);
    json::key(out, "line");
    json::unsigned_integer(out, findings[i].line);
    json::separator(out);
    if (!findings[i].file.empty()) {
      json::key(out, "file");
      json::string(out, findings[i].file);
      json::separator(out);
      json::key(out, "file_line");
      json::unsigned_integer(out, findings[i].file_line);
      json::separator(out);
    }
    json::key(out, "kind");
    json::string(out, findings[i].kind);
    json::separator(out);
    json::key(out, "message");
    json::string(out, findings[i].message);
    if (!findings[i].trace_id.empty()) {
      json::separator(out);
      json::key(out, "trace_id");
      json::string(out, findings[i].trace_id);
      json::separator(out);
      json::key(out, "span_id");
      json::string(out, findings[i].span_id);
    }
    json::end_object(out);
  }
  json::end_array(out);
}

namespace {

// Plain output lists this many chains; JSON lists all.
constexpr std::size_t plain_chain_limit = 20;

// 51673 as "51,673": the counts a reader compares at a glance.
std::string grouped(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, ',');
  return digits;
}

std::string display_name(const std::string& path) { return path == "-" ? std::string("standard input") : path; }

void names_json(std::string& out, const std::vector<std::string>& names) {
  json::begin_array(out);
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) json::separator(out);
    json::string(out, names[i]);
  }
  json::end_array(out);
}

// The witness members of the checkpoints object: the policy's witnesses and
// quorum, and the last witnessed checkpoint (null when none meets the quorum).
void witnesses_json(std::string& out, const CheckpointSummary& c) {
  json::separator(out);
  json::key(out, "witnesses");
  names_json(out, c.witnesses);
  json::separator(out);
  json::key(out, "quorum");
  json::string(out, c.quorum);
  json::separator(out);
  json::key(out, "last_witnessed");
  if (c.witnessed) {
    json::begin_object(out);
    json::key(out, "size");
    json::unsigned_integer(out, c.witnessed_size);
    json::separator(out);
    json::key(out, "witnesses");
    names_json(out, c.witnessed_by);
    json::end_object(out);
  } else {
    out += "null";
  }
  json::separator(out);
  json::key(out, "witnessed_lines");
  json::unsigned_integer(out, c.witnessed_lines);
  json::separator(out);
  json::key(out, "unwitnessed_lines");
  json::unsigned_integer(out, c.unwitnessed_lines);
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += ", ";
    text += names[i];
  }
  return text;
}

void witnesses_plain(std::string& out, const CheckpointSummary& c) {
  if (c.witnessed) {
    out += "last witnessed checkpoint: size " + grouped(c.witnessed_size) + ", cosigned by " + joined(c.witnessed_by) +
           " (quorum " + c.quorum + "), covering " + grouped(c.witnessed_lines) +
           (c.witnessed_lines == 1 ? " line" : " lines");
    if (c.unwitnessed_lines > 0) out += " (" + grouped(c.unwitnessed_lines) + " after them not witnessed)";
    out += '\n';
  } else {
    out += "no checkpoint meets the witness quorum " + c.quorum + " (witnesses " + joined(c.witnesses) + ")\n";
  }
}

void finding_line(std::string& out, const Finding& finding, bool several_pieces) {
  out += "  ";
  if (finding.line > 0 && several_pieces && !finding.file.empty()) {
    // Where to look in the piece, and where the line stands in the whole log.
    out += display_name(finding.file) + " line " + grouped(finding.file_line) + " (line " + grouped(finding.line) +
           " of the log): ";
  } else if (finding.line > 0) {
    out += "line ";
    out += std::to_string(finding.line);
    out += ": ";
  }
  out += finding.kind;
  out += ": ";
  out += finding.message;
  if (!finding.trace_id.empty()) out += " (trace " + finding.trace_id + ", span " + finding.span_id + ")";
  out += '\n';
}

}  // namespace

std::string report_json(const Report& report) {
  std::string out;
  json::begin_object(out);
  json::key(out, "ok");
  json::boolean(out, report.ok);
  json::separator(out);
  json::key(out, "lines");
  json::unsigned_integer(out, report.lines);
  json::separator(out);
  json::key(out, "records");
  json::unsigned_integer(out, report.records);
  json::separator(out);
  json::key(out, "public_key");
  json::string(out, report.public_key);
  json::separator(out);
  json::key(out, "key_source");
  json::string(out, report.key_source);
  if (!report.key_file.empty()) {
    json::separator(out);
    json::key(out, "key_file");
    json::string(out, report.key_file);
  }
  json::separator(out);
  json::key(out, "pieces");
  json::begin_array(out);
  for (std::size_t i = 0; i < report.pieces.size(); ++i) {
    if (i > 0) json::separator(out);
    json::string(out, report.pieces[i]);
  }
  json::end_array(out);
  json::separator(out);
  json::key(out, "checkpoints");
  if (report.checkpoints.checked) {
    const CheckpointSummary& c = report.checkpoints;
    json::begin_object(out);
    json::key(out, "origin");
    json::string(out, c.origin);
    json::separator(out);
    json::key(out, "count");
    json::unsigned_integer(out, c.count);
    json::separator(out);
    json::key(out, "sealed_lines");
    json::unsigned_integer(out, c.sealed_lines);
    json::separator(out);
    json::key(out, "unsealed_lines");
    json::unsigned_integer(out, c.unsealed_lines);
    json::separator(out);
    json::key(out, "last_size");
    json::unsigned_integer(out, c.last_size);
    if (c.witnesses_checked) witnesses_json(out, c);
    json::end_object(out);
  } else {
    out += "null";
  }
  json::separator(out);
  json::key(out, "chains");
  json::begin_array(out);
  for (std::size_t i = 0; i < report.chains.size(); ++i) {
    const ChainSummary& chain = report.chains[i];
    if (i > 0) json::separator(out);
    json::begin_object(out);
    json::key(out, "first_line");
    json::unsigned_integer(out, chain.first_line);
    json::separator(out);
    json::key(out, "last_line");
    json::unsigned_integer(out, chain.last_line);
    json::separator(out);
    json::key(out, "records");
    json::unsigned_integer(out, chain.records);
    json::separator(out);
    json::key(out, "head");
    json::string(out, chain.head);
    json::end_object(out);
  }
  json::end_array(out);
  json::separator(out);
  findings_json(out, "problems", report.problems);
  json::separator(out);
  findings_json(out, "warnings", report.warnings);
  json::separator(out);
  json::key(out, "problems_not_listed");
  json::unsigned_integer(out, report.problems_not_listed);
  json::separator(out);
  json::key(out, "warnings_not_listed");
  json::unsigned_integer(out, report.warnings_not_listed);
  json::separator(out);
  json::key(out, "statistics");
  statistics_json(out, report.statistics);
  json::end_object(out);
  out += '\n';
  return out;
}

std::string report_plain(const Report& report) {
  std::string out;
  out += std::to_string(report.lines) + " lines, " + std::to_string(report.records) + " records, " +
         std::to_string(report.chains.size()) + (report.chains.size() == 1 ? " chain\n" : " chains\n");
  out += "public key " + report.public_key;
  if (report.key_source == key_source_key_file) {
    out += " (derived from the key file " + report.key_file + " beside the log, not given)\n";
  } else {
    out += " (given with --public-key)\n";
  }
  if (report.pieces.size() > 1) {
    out += std::to_string(report.pieces.size()) + " pieces, oldest first:";
    for (const std::string& piece : report.pieces) {
      out += ' ';
      out += display_name(piece);
    }
    out += '\n';
  }
  if (report.checkpoints.checked) {
    const CheckpointSummary& c = report.checkpoints;
    out += grouped(c.count) + (c.count == 1 ? " checkpoint of " : " checkpoints of ") +
           (c.origin.empty() ? std::string("(no origin)") : c.origin) + " verified, covering " +
           grouped(c.sealed_lines) + (c.sealed_lines == 1 ? " line" : " lines");
    if (c.unsealed_lines > 0) {
      out += " (";
      out += grouped(c.unsealed_lines);
      out += " after them not sealed)";
    }
    out += '\n';
    if (c.witnesses_checked) witnesses_plain(out, c);
  }
  for (std::size_t i = 0; i < report.chains.size() && i < plain_chain_limit; ++i) {
    const ChainSummary& chain = report.chains[i];
    out += "chain " + std::to_string(i + 1) + ": lines " + std::to_string(chain.first_line) + " to " +
           std::to_string(chain.last_line) + ", " + std::to_string(chain.records) +
           (chain.records == 1 ? " record" : " records") + ", last root " + chain.head + '\n';
  }
  if (report.chains.size() > plain_chain_limit) {
    out += '(';
    out += std::to_string(report.chains.size() - plain_chain_limit);
    out += " more chains; --json lists all)\n";
  }
  const bool several_pieces = report.pieces.size() > 1;
  if (!report.problems.empty()) {
    out += "problems, first bad line first:\n";
    for (const Finding& finding : report.problems) finding_line(out, finding, several_pieces);
    if (report.problems_not_listed > 0) {
      out += "  (";
      out += std::to_string(report.problems_not_listed);
      out += " more problems not listed)\n";
    }
  }
  if (!report.warnings.empty()) {
    out += "warnings:\n";
    for (const Finding& finding : report.warnings) finding_line(out, finding, several_pieces);
    if (report.warnings_not_listed > 0) {
      out += "  (";
      out += std::to_string(report.warnings_not_listed);
      out += " more warnings not listed)\n";
    }
  }
  if (report.ok) {
    out += "OK: no problem found\n";
  } else {
    const std::uint64_t count = report.problems.size() + report.problems_not_listed;
    out += "FAILED: " + std::to_string(count) + (count == 1 ? " problem\n" : " problems\n");
  }
  return out;
}

}  // namespace oxa::verify
