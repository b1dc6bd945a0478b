#include "tlog/tlog_proof.hpp"

#include <charconv>

#include "tlog/base64_text.hpp"

namespace oxa::tlog {

namespace {
// A tree of at most 2^64 leaves has paths of at most 64 hashes.
constexpr std::size_t longest_path = 64;

bool parse_index(std::string_view text, std::uint64_t& out) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

// Takes the next line (without its line feed) off `rest`; false when no
// complete line is left.
bool take_line(std::string_view& rest, std::string_view& line) {
  const std::size_t end = rest.find('\n');
  if (end == std::string_view::npos) return false;
  line = rest.substr(0, end);
  rest.remove_prefix(end + 1);
  return true;
}
}  // namespace

std::string format_tlog_proof(const TlogProof& proof) {
  std::string text(tlog_proof_header);
  text += '\n';
  if (proof.has_extra) {
    text += "extra ";
    text += base64_encode(proof.extra);
    text += '\n';
  }
  text += "index ";
  text += std::to_string(proof.index);
  text += '\n';
  for (const TreeHash& hash : proof.path) {
    text += base64_encode(hash);
    text += '\n';
  }
  text += '\n';
  text += proof.checkpoint;
  return text;
}

std::string parse_tlog_proof(std::string_view text, TlogProof& out) {
  TlogProof proof;
  std::string_view line;
  if (!take_line(text, line) || line != tlog_proof_header)
    return "not a transparency-log proof: the first line must be " + std::string(tlog_proof_header);
  if (!take_line(text, line)) return "the proof ends before its index line";
  if (line.substr(0, 6) == "extra ") {
    const auto extra = base64_decode(line.substr(6));
    if (!extra) return "the proof's extra data is not base64";
    proof.has_extra = true;
    proof.extra.assign(extra->begin(), extra->end());
    if (!take_line(text, line)) return "the proof ends before its index line";
  }
  if (line.substr(0, 6) != "index " || !parse_index(line.substr(6), proof.index))
    return "the proof's index line is not \"index <decimal>\"";
  for (;;) {
    if (!take_line(text, line)) return "the proof ends before its checkpoint";
    if (line.empty()) break;
    const auto hash = base64_decode(line);
    if (!hash || hash->size() != tree_hash_bytes) return "a line of the inclusion path is not base64 of a 32-byte hash";
    TreeHash h;
    std::copy(hash->begin(), hash->end(), h.begin());
    proof.path.push_back(h);
  }
  if (proof.path.size() > longest_path) return "the inclusion path is longer than any tree's";
  proof.checkpoint = std::string(text);
  out = std::move(proof);
  return {};
}

}  // namespace oxa::tlog
