#include "common/shortest_decimal.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>

namespace oxa {

namespace {

// A capture writes the digits of its coherence and its reputation several
// times (the hashed text, the insight, the log line), so each thread keeps
// its last two results, keyed by the magnitude's bits.
struct RecentDecimal {
  std::uint64_t bits;
  bool filled;
  ShortestDecimal decimal;
};
thread_local std::array<RecentDecimal, 2> recent_decimals{};
thread_local unsigned next_recent = 0;

ShortestDecimal compute_shortest_decimal(double x);

}  // namespace

ShortestDecimal shortest_decimal(double x) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(std::fabs(x));
  for (const RecentDecimal& recent : recent_decimals) {
    if (recent.filled && recent.bits == bits) return recent.decimal;
  }
  const ShortestDecimal decimal = compute_shortest_decimal(x);
  recent_decimals[next_recent] = {bits, true, decimal};
  next_recent ^= 1;
  return decimal;
}

namespace {

ShortestDecimal compute_shortest_decimal(double x) {
  // Scientific form without a precision gives the shortest round-trip digits:
  // "d[.ddd]e[+-]xx[x]". At most 17 digits, a point, "e", a sign and 3 digits.
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, std::fabs(x), std::chars_format::scientific);
  (void)ec;  // cannot fail: the buffer holds the longest possible text

  ShortestDecimal result{};
  const char* p = text;
  for (; p != end && *p != 'e'; ++p) {
    if (*p != '.') result.digits[result.count++] = *p;
  }
  // to_chars writes no trailing zeros in shortest form except for a lone
  // digit, which is never zero for a non-zero value; strip defensively.
  while (result.count > 1 && result.digits[result.count - 1] == '0') --result.count;

  ++p;  // past 'e'
  const bool negative = *p == '-';
  ++p;  // past the sign, which is always written
  int exponent = 0;
  for (; p != end; ++p) exponent = exponent * 10 + (*p - '0');
  result.exponent = negative ? -exponent : exponent;
  return result;
}

}  // namespace

void append_plain_decimal(std::string& out, const ShortestDecimal& d) {
  if (d.exponent < 0) {
    out.append("0.");
    out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
    out.append(d.digits, static_cast<std::size_t>(d.count));
    return;
  }
  const int integer_digits = d.exponent + 1;
  if (d.count <= integer_digits) {
    out.append(d.digits, static_cast<std::size_t>(d.count));
    out.append(static_cast<std::size_t>(integer_digits - d.count), '0');
    out.append(".0");
  } else {
    out.append(d.digits, static_cast<std::size_t>(integer_digits));
    out.push_back('.');
    out.append(d.digits + integer_digits, static_cast<std::size_t>(d.count - integer_digits));
  }
}

void append_scientific_decimal(std::string& out, const ShortestDecimal& d) {
  out.push_back(d.digits[0]);
  if (d.count > 1) {
    out.push_back('.');
    out.append(d.digits + 1, static_cast<std::size_t>(d.count - 1));
  }
  out.push_back('e');
  out.push_back(d.exponent < 0 ? '-' : '+');
  char text[8];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, d.exponent < 0 ? -d.exponent : d.exponent);
  (void)ec;
  out.append(text, end);
}

}  // namespace oxa
