#include <gtest/gtest.h>

#include <array>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "store/json_writer.hpp"

namespace oxa {
namespace {

std::string string_text(std::string_view utf8) {
  std::string out;
  json::string(out, utf8);
  return out;
}

// Byte-at-a-time escaping, to check the block-at-a-time scan against.
std::string reference_string_text(std::string_view utf8) {
  static constexpr char hex_digits[] = "0123456789abcdef";
  std::string out = "\"";
  for (char c : utf8) {
    const auto b = static_cast<unsigned char>(c);
    switch (b) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default:
        if (b < 0x20) {
          out += "\\u00";
          out += hex_digits[b >> 4];
          out += hex_digits[b & 0x0f];
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

TEST(JsonWriter, StringEscapes) {
  const struct {
    std::string_view text;
    std::string_view json;
  } cases[] = {
      {"", R"("")"},
      {std::string_view("a\"b\\c\n\t\x01", 8), R"("a\"b\\c\n\t\u0001")"},
      {"\b\f\r\x1b\x1f", R"("\b\f\r\u001b\u001f")"},
      {std::string_view("\0", 1), R"("\u0000")"},
      {"\xc3\xa9/\x7f", "\"\xc3\xa9/\x7f\""},  // é, solidus and DEL unchanged
      {" !#[]~", R"(" !#[]~")"},
  };
  for (const auto& c : cases) EXPECT_EQ(string_text(c.text), c.json) << c.text;
}

TEST(JsonWriter, EveryByteEscapedAtEveryPositionOfEveryLength) {
  // Each byte value at every offset of texts from 1 to 56 bytes long: shorter
  // than a 16-byte block, whole blocks, a last block that overlaps the one
  // before it, and blocks read in place or through a copy near the end.
  for (std::size_t length = 1; length <= 56; ++length) {
    for (int b = 0; b < 256; ++b) {
      for (std::size_t at = 0; at < length; ++at) {
        std::string text(length, 'x');
        text[at] = static_cast<char>(b);
        ASSERT_EQ(string_text(text), reference_string_text(text)) << "byte " << b << " at " << at << " of " << length;
      }
    }
  }
  // Several escapes in a row and in neighbouring blocks.
  const std::string mixed = "prompt: \"quoted\"\r\n\ttab\\path\x02\x03 and then some plain text \xe2\x82\xac\n";
  EXPECT_EQ(string_text(mixed), reference_string_text(mixed));
}

TEST(JsonWriter, LongTextsOfEveryDensityOfEscapes) {
  // Longer than the writer's internal buffer, so that it is flushed mid-text
  // at every kind of position: all escapes (six bytes each), none, and mixes.
  std::uint32_t state = 12345;
  const auto next_byte = [&state] {
    state = state * 1103515245u + 12345u;
    return static_cast<char>(state >> 16);
  };
  for (int one_in : {1, 2, 5, 17, 1000}) {
    for (std::size_t length : {511u, 512u, 513u, 3000u}) {
      std::string text(length, 'y');
      for (std::size_t k = 0; k < length; ++k) {
        if (static_cast<unsigned char>(next_byte()) % one_in == 0) text[k] = static_cast<char>(next_byte() & 0x7f);
      }
      ASSERT_EQ(string_text(text), reference_string_text(text)) << "one in " << one_in << ", " << length << " bytes";
    }
  }
  const std::string controls(700, '\x01');
  EXPECT_EQ(string_text(controls), reference_string_text(controls));
}

TEST(JsonWriter, AppendsToExistingText) {
  std::string out = "[1";
  json::separator(out);
  json::string(out, "a\nb");
  json::end_array(out);
  EXPECT_EQ(out, R"([1,"a\nb"])");
}

TEST(JsonWriter, Numbers) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    std::string_view json;
  } cases[] = {
      {0.5, "0.5"},
      {1.0, "1.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {100.0, "100.0"},
      {123.45, "123.45"},
      {-2.5, "-2.5"},
      {0.18, "0.18"},
      {0.1 + 0.2, "0.30000000000000004"},
      {0.00001, "0.00001"},
      {0.000012345, "0.000012345"},
      {0.000001, "1e-6"},
      {2.5e-6, "2.5e-6"},
      {1e-7, "1e-7"},
      {1e15, "1000000000000000.0"},
      {123456789012345.6, "123456789012345.6"},
      {9007199254740993.0, "9007199254740992.0"},
      {1e16, "1e+16"},
      {-1.5e17, "-1.5e+17"},
      {1e100, "1e+100"},
      {1.7976931348623157e+308, "1.7976931348623157e+308"},
      {5e-324, "5e-324"},
      {std::nan(""), "null"},
      {inf, "null"},
      {-inf, "null"},
  };
  for (const auto& c : cases) {
    std::string out;
    json::number(out, c.value);
    EXPECT_EQ(out, c.json) << c.json;
  }
}

TEST(JsonWriter, NumbersRepeatedInAnyOrderKeepTheirOwnDigits) {
  // The digits of recent values are reused: values written again, with a sign
  // flipped, or between two others must still get their own digits.
  const struct {
    double value;
    std::string_view json;
  } sequence[] = {
      {0.51, "0.51"}, {0.9446, "0.9446"}, {0.51, "0.51"},   {-0.51, "-0.51"}, {0.52, "0.52"},
      {0.51, "0.51"}, {0.9446, "0.9446"}, {0.52, "0.52"},   {0.52, "0.52"},   {2.5e-6, "2.5e-6"},
      {0.51, "0.51"}, {2.5e-6, "2.5e-6"}, {-2.5e-6, "-2.5e-6"},
  };
  for (const auto& c : sequence) {
    std::string out;
    json::number(out, c.value);
    EXPECT_EQ(out, c.json);
  }
}

TEST(JsonWriter, Integers) {
  const struct {
    std::int64_t value;
    std::string_view json;
  } signed_cases[] = {
      {0, "0"},
      {7, "7"},
      {-1, "-1"},
      {10, "10"},
      {-128, "-128"},
      {999, "999"},
      {1000, "1000"},
      {-999, "-999"},
      {-1000, "-1000"},
      {std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
      {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
  };
  for (const auto& c : signed_cases) {
    std::string out;
    json::integer(out, c.value);
    EXPECT_EQ(out, c.json);
  }
  const struct {
    std::uint64_t value;
    std::string_view json;
  } unsigned_cases[] = {
      {0, "0"},
      {255, "255"},
      {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
  };
  for (const auto& c : unsigned_cases) {
    std::string out;
    json::unsigned_integer(out, c.value);
    EXPECT_EQ(out, c.json);
  }
}

TEST(JsonWriter, SmallIntegerArrays) {
  std::string out;
  json::integer_array(out, std::span<const std::uint8_t>{});
  EXPECT_EQ(out, "[]");
  out.clear();
  const std::uint8_t bytes[] = {0, 9, 10, 99, 100, 255};
  json::integer_array(out, bytes);
  EXPECT_EQ(out, "[0,9,10,99,100,255]");
  out.clear();
  out += 'x';
  const std::int8_t deltas[] = {-128, -100, -10, -1, 0, 1, 127};
  json::integer_array(out, deltas);
  EXPECT_EQ(out, "x[-128,-100,-10,-1,0,1,127]");
  // Longer than one internal chunk: the same text as element by element.
  std::array<std::uint8_t, 200> many;
  std::string expected = "[";
  for (std::size_t i = 0; i < many.size(); ++i) {
    many[i] = static_cast<std::uint8_t>(i * 7);
    if (i != 0) expected += ',';
    expected += std::to_string(many[i]);
  }
  out.clear();
  json::integer_array(out, many);
  EXPECT_EQ(out, expected + "]");
}

template <typename Small>
std::string element_by_element(const std::vector<Small>& values) {
  std::string text = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) text += ',';
    text += std::to_string(int{values[i]});
  }
  return text + "]";
}

TEST(JsonWriter, SmallIntegerArraysOfEveryValue) {
  // Every value of both element types, in arrays of several lengths around
  // the writer's 64-element chunks.
  for (std::size_t length : {1u, 63u, 64u, 65u, 256u}) {
    std::vector<std::uint8_t> bytes;
    std::vector<std::int8_t> deltas;
    for (std::size_t i = 0; i < length; ++i) {
      bytes.push_back(static_cast<std::uint8_t>(255 - i));
      deltas.push_back(static_cast<std::int8_t>(static_cast<int>(i) - 128));
    }
    std::string out;
    json::integer_array(out, bytes);
    EXPECT_EQ(out, element_by_element(bytes)) << length;
    out.clear();
    json::integer_array(out, deltas);
    EXPECT_EQ(out, element_by_element(deltas)) << length;
  }
}

TEST(JsonWriter, CompactStructure) {
  std::string out;
  json::begin_object(out);
  json::key(out, "k");
  json::begin_array(out);
  json::end_array(out);
  json::end_object(out);
  EXPECT_EQ(out, R"({"k":[]})");

  out.clear();
  json::begin_object(out);
  json::key(out, "a\"b");
  json::boolean(out, true);
  json::separator(out);
  json::key(out, "list");
  json::begin_array(out);
  json::boolean(out, false);
  json::separator(out);
  json::null(out);
  json::separator(out);
  json::begin_object(out);
  json::end_object(out);
  json::end_array(out);
  json::end_object(out);
  EXPECT_EQ(out, R"({"a\"b":true,"list":[false,null,{}]})");
}

}  // namespace
}  // namespace oxa
