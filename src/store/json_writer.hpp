#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// The compact JSON writer: every JSON text the system builds itself goes
// through these building blocks, so one value always has one text. Each
// appends to a buffer the caller owns; no whitespace is ever written, and the
// caller decides the members, their order and where separators go.
namespace oxa::json {

// The one-character pieces are inline: a record's line holds well over a
// hundred of them.
inline void begin_object(std::string& out) { out.push_back('{'); }
inline void end_object(std::string& out) { out.push_back('}'); }
inline void begin_array(std::string& out) { out.push_back('['); }
inline void end_array(std::string& out) { out.push_back(']'); }
// The "," between two members or two elements.
inline void separator(std::string& out) { out.push_back(','); }
// A member key with its ':'.
void key(std::string& out, std::string_view name);

// A JSON string from UTF-8 text. Escaped: '"', '\\' and the bytes 0x00-0x1F
// (the usual short forms, else \u00xx in lower-case hex). Every other byte,
// including '/', 0x7F and non-ASCII bytes, is copied unchanged.
void string(std::string& out, std::string_view utf8);
void boolean(std::string& out, bool value);
void null(std::string& out);
void integer(std::string& out, std::int64_t value);
void unsigned_integer(std::string& out, std::uint64_t value);
// An array of small integers, "[1,2,3]": a signature's bytes, an insight's deltas.
void integer_array(std::string& out, std::span<const std::uint8_t> values);
void integer_array(std::string& out, std::span<const std::int8_t> values);
// NaN and infinities as null; zero as "0.0" / "-0.0"; otherwise the shortest
// round-trip digits, plain decimal (with at least one digit after the point)
// when the decimal exponent is within [-5, 15], else scientific ("1e+16").
void number(std::string& out, double value);

}  // namespace oxa::json
