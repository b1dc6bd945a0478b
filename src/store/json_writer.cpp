#include "store/json_writer.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "common/hex_text.hpp"
#include "common/shortest_decimal.hpp"

namespace oxa::json {

namespace {

// Per byte: 0 when the byte is copied unchanged, otherwise the character that
// follows the backslash in its escape ('u' for the \u00xx form).
constexpr std::array<char, 256> escape_table = [] {
  std::array<char, 256> table{};
  for (int b = 0; b < 0x20; ++b) table[b] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

// Whether any of the eight bytes of w needs an escape: a byte below 0x20, a
// '"' or a '\\'. The classic "has a byte below n" bit trick; it can misjudge
// which byte, never whether there is one.
inline bool word_needs_escape(std::uint64_t w) {
  constexpr std::uint64_t ones = 0x0101010101010101ULL;
  constexpr std::uint64_t highs = 0x8080808080808080ULL;
  const std::uint64_t quote = w ^ (ones * '"');
  const std::uint64_t backslash = w ^ (ones * '\\');
  const std::uint64_t below_space = (w - ones * 0x20) & ~w;
  const std::uint64_t is_quote = (quote - ones) & ~quote;
  const std::uint64_t is_backslash = (backslash - ones) & ~backslash;
  return ((below_space | is_quote | is_backslash) & highs) != 0;
}

inline std::uint64_t load_word(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Writes an integer of magnitude below 1000 at `w` without a library call;
// returns the end. Signature bytes and insight deltas are all of this size.
char* write_small_integer(char* w, bool negative, unsigned magnitude) {
  if (negative) *w++ = '-';
  if (magnitude >= 100) *w++ = static_cast<char>('0' + magnitude / 100);
  if (magnitude >= 10) *w++ = static_cast<char>('0' + magnitude / 10 % 10);
  *w++ = static_cast<char>('0' + magnitude % 10);
  return w;
}

template <typename Integer>
void append_integer(std::string& out, Integer value) {
  bool negative = false;
  auto magnitude = static_cast<std::uint64_t>(value);
  if constexpr (std::is_signed_v<Integer>) {
    negative = value < 0;
    if (negative) magnitude = 0 - magnitude;
  }
  char text[24];
  if (magnitude < 1000) {
    out.append(text, write_small_integer(text, negative, static_cast<unsigned>(magnitude)));
    return;
  }
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  (void)ec;  // 24 bytes hold every 64-bit integer
  out.append(text, end);
}

// Writes "[v0,v1,...]" into a stack buffer first and appends it in one go:
// each value is at most 4 characters and a separator.
template <typename Small>
void append_small_integer_array(std::string& out, std::span<const Small> values) {
  constexpr std::size_t chunk = 64;
  char text[chunk * 5 + 2];
  out.push_back('[');
  for (std::size_t first = 0; first < values.size(); first += chunk) {
    char* w = text;
    const std::size_t last = std::min(values.size(), first + chunk);
    for (std::size_t i = first; i < last; ++i) {
      if (i != 0) *w++ = ',';
      const int value = values[i];
      w = write_small_integer(w, value < 0, static_cast<unsigned>(value < 0 ? -value : value));
    }
    out.append(text, w);
  }
  out.push_back(']');
}

}  // namespace

void integer_array(std::string& out, std::span<const std::uint8_t> values) {
  append_small_integer_array(out, values);
}

void integer_array(std::string& out, std::span<const std::int8_t> values) {
  append_small_integer_array(out, values);
}

void key(std::string& out, std::string_view name) {
  string(out, name);
  out.push_back(':');
}

void string(std::string& out, std::string_view utf8) {
  out.reserve(out.size() + utf8.size() + 2);
  out.push_back('"');
  const char* p = utf8.data();
  const char* const end = p + utf8.size();
  const char* run = p;  // start of the bytes not yet copied
  for (;;) {
    // Skip clean words, then find the escape byte inside the flagged word
    // (or inside the short tail).
    while (end - p >= 8 && !word_needs_escape(load_word(p))) p += 8;
    const char* const stop = end - p >= 8 ? p + 8 : end;
    while (p != stop && escape_table[static_cast<unsigned char>(*p)] == 0) ++p;
    if (p == end) break;
    if (p == stop) continue;
    out.append(run, p);
    const auto byte = static_cast<unsigned char>(*p);
    const char escape = escape_table[byte];
    if (escape == 'u') {
      const char text[6] = {'\\', 'u', '0', '0', hex_digits[byte >> 4], hex_digits[byte & 0x0f]};
      out.append(text, sizeof text);
    } else {
      // Two inline stores rather than an append, which calls memmove: JSON
      // texts nested in a record's line escape a quote every few bytes.
      out.push_back('\\');
      out.push_back(escape);
    }
    run = ++p;
  }
  out.append(run, p);
  out.push_back('"');
}

void boolean(std::string& out, bool value) { out.append(value ? "true" : "false"); }

void null(std::string& out) { out.append("null"); }

void integer(std::string& out, std::int64_t value) { append_integer(out, value); }

void unsigned_integer(std::string& out, std::uint64_t value) { append_integer(out, value); }

void number(std::string& out, double value) {
  if (!std::isfinite(value)) {
    null(out);
    return;
  }
  if (std::signbit(value)) out.push_back('-');
  if (value == 0.0) {
    out.append("0.0");
    return;
  }
  const ShortestDecimal d = shortest_decimal(value);
  if (d.exponent >= -5 && d.exponent <= 15) {
    append_plain_decimal(out, d);
  } else {
    append_scientific_decimal(out, d);
  }
}

}  // namespace oxa::json
