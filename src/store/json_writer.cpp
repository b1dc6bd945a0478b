#include "store/json_writer.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Per byte, its text inside a JSON string (the byte itself, or its escape),
// padded to 8 bytes so that it is always copied whole, and that text's length.
struct EscapedByte {
  char text[8];
  std::size_t length;
};

constexpr std::array<EscapedByte, 256> escaped_bytes = [] {
  std::array<EscapedByte, 256> table{};
  for (int b = 0; b < 256; ++b) {
    EscapedByte& e = table[b];
    const char escape = escape_table[b];
    if (escape == 'u') {
      const char u[6] = {'\\', 'u', '0', '0', hex_digits[b >> 4], hex_digits[b & 0x0f]};
      for (int k = 0; k < 6; ++k) e.text[k] = u[k];
      e.length = 6;
    } else if (escape != 0) {
      e.text[0] = '\\';
      e.text[1] = escape;
      e.length = 2;
    } else {
      e.text[0] = static_cast<char>(b);
      e.length = 1;
    }
  }
  return table;
}();

// The string text is scanned 16 bytes at a time: one mask bit per byte that
// needs an escape. SSE2 is part of every x86-64 processor; elsewhere the same
// block is examined byte by byte.
constexpr std::size_t block_bytes = 16;

#if defined(__SSE2__)
using Block = __m128i;
inline Block load_block(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store_block(char* p, Block b) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), b); }
inline unsigned escape_mask(Block b) {
  // Unsigned b <= 0x1f is min(b, 0x1f) == b.
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(b, _mm_set1_epi8(0x1f)), b);
  const __m128i quote = _mm_cmpeq_epi8(b, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(b, _mm_set1_epi8('\\'));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash))));
}
#else
struct Block {
  char bytes[block_bytes];
};
inline Block load_block(const char* p) {
  Block b;
  std::memcpy(b.bytes, p, block_bytes);
  return b;
}
inline void store_block(char* p, Block b) { std::memcpy(p, b.bytes, block_bytes); }
inline unsigned escape_mask(Block b) {
  unsigned mask = 0;
  for (std::size_t k = 0; k < block_bytes; ++k) {
    mask |= (escape_table[static_cast<unsigned char>(b.bytes[k])] != 0 ? 1u : 0u) << k;
  }
  return mask;
}
#endif

// Writes the text of bytes [start, stop) of the block at `in` to `w` and
// returns the new end; `mask` holds the block's escape bits. Reads up to 32
// bytes from `in` and may write up to 16 bytes past the returned end: each
// clean stretch is copied as a whole block, and an escape written over the
// surplus.
inline char* write_block(char* w, const char* in, unsigned mask, unsigned start, unsigned stop) {
  mask &= (1u << stop) - (1u << start);
  unsigned done = start;
  store_block(w, load_block(in + done));
  while (mask != 0) {
    const unsigned k = static_cast<unsigned>(__builtin_ctz(mask));
    mask &= mask - 1;
    w += k - done;
    const EscapedByte& e = escaped_bytes[static_cast<unsigned char>(in[k])];
    std::memcpy(w, e.text, sizeof e.text);
    w += e.length;
    done = k + 1;
    store_block(w, load_block(in + done));
  }
  return w + (stop - done);
}

// Writes an integer of magnitude below 1000 at `w` without a library call;
// returns the end. Signature bytes and insight deltas are all of this size.
constexpr char* write_small_integer(char* w, bool negative, unsigned magnitude) {
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

// The text of every value an array element can take (-128 to 255: insight
// deltas and signature bytes) followed by its ',', padded to 8 bytes so that
// it is always copied whole; the length counts the ','.
struct ElementText {
  char text[8];
  std::size_t length;
};
constexpr int smallest_element = -128;

constexpr std::array<ElementText, 384> element_texts = [] {
  std::array<ElementText, 384> table{};
  for (int value = smallest_element; value <= 255; ++value) {
    ElementText& e = table[static_cast<std::size_t>(value - smallest_element)];
    char* end = write_small_integer(e.text, value < 0, static_cast<unsigned>(value < 0 ? -value : value));
    *end++ = ',';
    e.length = static_cast<std::size_t>(end - e.text);
  }
  return table;
}();

// Writes "[v0,v1,...]" into a stack buffer first and appends it in chunks.
template <typename Small>
void append_small_integer_array(std::string& out, std::span<const Small> values) {
  constexpr std::size_t chunk = 64;
  char text[chunk * 5 + 8];  // each value at most "-128,", and the last copy's padding
  out.push_back('[');
  for (std::size_t first = 0; first < values.size(); first += chunk) {
    char* w = text;
    const std::size_t last = std::min(values.size(), first + chunk);
    for (std::size_t i = first; i < last; ++i) {
      const ElementText& e = element_texts[static_cast<std::size_t>(int{values[i]} - smallest_element)];
      std::memcpy(w, e.text, sizeof e.text);
      w += e.length;
    }
    if (last == values.size()) --w;  // no ',' after the last value
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
  // The text is built in a stack buffer and appended when that fills: no
  // capacity check per byte or per escape.
  constexpr std::size_t worst_block = block_bytes * 6 + block_bytes;  // all \u00xx, plus the overrun
  char buffer[512];
  char* w = buffer;
  // A copy of a block with room to read 32 bytes from it, for blocks whose
  // next 16 bytes lie past the text's end.
  alignas(16) char spare[2 * block_bytes] = {};
  const char* p = utf8.data();
  const char* const end = p + utf8.size();
  for (; end - p >= static_cast<std::ptrdiff_t>(block_bytes); p += block_bytes) {
    if (w + worst_block > buffer + sizeof buffer) {
      out.append(buffer, static_cast<std::size_t>(w - buffer));
      w = buffer;
    }
    const Block b = load_block(p);
    const unsigned mask = escape_mask(b);
    if (mask == 0) {
      store_block(w, b);
      w += block_bytes;
      continue;
    }
    const char* in = p;
    if (end - p < static_cast<std::ptrdiff_t>(2 * block_bytes)) {
      store_block(spare, b);
      in = spare;
    }
    w = write_block(w, in, mask, 0, block_bytes);
  }
  if (const auto rest = static_cast<unsigned>(end - p); rest != 0) {
    if (w + worst_block > buffer + sizeof buffer) {
      out.append(buffer, static_cast<std::size_t>(w - buffer));
      w = buffer;
    }
    if (utf8.size() >= block_bytes) {
      // The last 16 bytes of the text, of which the first 16 - rest are done.
      std::memcpy(spare, end - block_bytes, block_bytes);
    } else {
      // A short text, padded with bytes that need no escape.
      std::memset(spare, 'x', block_bytes);
      std::memcpy(spare, p, rest);
    }
    const unsigned start = utf8.size() >= block_bytes ? static_cast<unsigned>(block_bytes) - rest : 0;
    const unsigned stop = start + rest;
    w = write_block(w, spare, escape_mask(load_block(spare)), start, stop);
  }
  *w++ = '"';
  out.append(buffer, static_cast<std::size_t>(w - buffer));
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
