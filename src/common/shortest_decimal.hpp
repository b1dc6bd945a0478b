#pragma once

#include <string>

namespace oxa {

// The shortest decimal digit string that reads back to exactly the same
// double (round to nearest); of several such strings, the one nearest to the
// exact value. The value is digits[0].digits[1..count-1] x 10^exponent, with
// no leading or trailing zeros in the digits. These are the digits Python's
// repr shows for the same float.
struct ShortestDecimal {
  char digits[17];
  int count;
  int exponent;
};

// For a finite, non-zero x; the sign of x is ignored.
ShortestDecimal shortest_decimal(double x);

// Layouts shared by the float texts (the caller writes any sign first).
// Plain: the digits with the point placed by the exponent, zeros filled in as
// needed and at least one digit after the point ("100.0", "0.00001", "123.45").
void append_plain_decimal(std::string& out, const ShortestDecimal& d);
// Scientific: the first digit, "." and the further digits when there are any,
// then "e", the exponent's sign ("+" or "-") and its digits ("2.5e-7", "1e+16").
void append_scientific_decimal(std::string& out, const ShortestDecimal& d);

}  // namespace oxa
