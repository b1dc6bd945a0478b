#include "logread/record_format.hpp"

#include <simdjson.h>

#include <array>
#include <cmath>
#include <limits>
#include <span>

namespace oxa::logread {

static_assert(RecordReader::padding >= simdjson::SIMDJSON_PADDING);

struct RecordReader::Parsers {
  simdjson::dom::parser line;
  // The JSON texts held in string members: the triplet's (whose strings the
  // hash covers, so they must outlive the next parse) and the review link's.
  simdjson::dom::parser triplet;
  simdjson::dom::parser review;
  std::string scratch;  // a padded copy of a text to parse
};

RecordReader::RecordReader() : parsers_(std::make_unique<Parsers>()) {}
RecordReader::~RecordReader() = default;

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

constexpr std::size_t record_members = 15;
constexpr std::array<std::string_view, record_members> member_names = {
    "id",        "timestamp",        "monotonic_nanos",       "hash",     "signature",
    "merkle_root", "coherence_score", "reputation_scalar",    "ppp_json", "ctx_json",
    "prompt",    "reasoning_trace_json", "output", "human_delta_chain_json", "core_insight_json"};

constexpr std::string_view id_prefix = "oxa_";

// The value of each lower-case hexadecimal digit; -1 for any other byte.
constexpr std::array<std::int8_t, 256> hex_values = [] {
  std::array<std::int8_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = c >= '0' && c <= '9' ? static_cast<std::int8_t>(c - '0')
               : c >= 'a' && c <= 'f' ? static_cast<std::int8_t>(c - 'a' + 10)
                                      : std::int8_t{-1};
  }
  return table;
}();

int hex_value(char c) noexcept { return hex_values[static_cast<unsigned char>(c)]; }

// 64 lower-case hexadecimal digits. Read twice for every record, so with no
// branch per digit: the digits are all looked up and checked once at the end.
bool read_hash_hex(std::string_view text, Hash32& out) noexcept {
  if (text.size() != 2 * out.size()) return false;
  int invalid = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int high = hex_value(text[2 * i]);
    const int low = hex_value(text[2 * i + 1]);
    invalid |= high | low;  // negative once any digit is not one
    out[i] = static_cast<std::uint8_t>((high & 0xf) << 4 | (low & 0xf));
  }
  return invalid >= 0;
}

// "oxa_" and a lower-case hyphenated 8-4-4-4-12 UUID.
bool id_shape(std::string_view id) noexcept {
  if (id.size() != id_prefix.size() + 36 || id.substr(0, id_prefix.size()) != id_prefix) return false;
  const std::string_view uuid = id.substr(id_prefix.size());
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    const bool hyphen_place = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen_place ? uuid[i] != '-' : hex_value(uuid[i]) < 0) return false;
  }
  return true;
}

bool digits(std::string_view text, std::size_t from, std::size_t count) noexcept {
  if (text.size() < from + count) return false;
  for (std::size_t i = from; i < from + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// YYYY-MM-DDTHH:MM:SS, an optional fraction of 3, 6 or 9 digits, "+00:00".
bool timestamp_shape(std::string_view t) noexcept {
  constexpr std::string_view utc = "+00:00";
  if (t.size() < 19 + utc.size()) return false;
  if (!digits(t, 0, 4) || t[4] != '-' || !digits(t, 5, 2) || t[7] != '-' || !digits(t, 8, 2) || t[10] != 'T' ||
      !digits(t, 11, 2) || t[13] != ':' || !digits(t, 14, 2) || t[16] != ':' || !digits(t, 17, 2)) {
    return false;
  }
  const std::size_t fraction = t.size() - 19 - utc.size();
  if (fraction != 0) {
    if (t[19] != '.' || (fraction != 4 && fraction != 7 && fraction != 10) || !digits(t, 20, fraction - 1)) {
      return false;
    }
  }
  return t.substr(t.size() - utc.size()) == utc;
}

std::string member_message(std::size_t index, std::string_view what) {
  std::string message = "\"";
  message += member_names[index];
  message += "\" ";
  message += what;
  return message;
}

// Parses a JSON text held in a string member; `scratch` gives it the padding
// the parser needs.
simdjson::error_code parse_nested(simdjson::dom::parser& parser, std::string& scratch, std::string_view text,
                                  element& out) {
  scratch.reserve(text.size() + simdjson::SIMDJSON_PADDING);
  scratch.assign(text);
  return parser.parse(scratch.data(), scratch.size(), false).get(out);
}

// An object whose members are exactly `names`, in that order, each of the
// given type; the string values go to `strings` in order.
bool nested_object(element value, std::span<const std::string_view> names, std::span<const element_type> types,
                   std::span<std::string_view> strings) {
  simdjson::dom::object object;
  if (value.get_object().get(object) != simdjson::SUCCESS) return false;
  if (object.size() != names.size()) return false;
  std::size_t i = 0;
  std::size_t s = 0;
  for (auto member : object) {
    if (member.key != names[i] || member.value.type() != types[i]) return false;
    if (types[i] == element_type::STRING) {
      std::string_view text;
      if (member.value.get_string().get(text) != simdjson::SUCCESS) return false;
      if (s < strings.size()) strings[s++] = text;
    }
    ++i;
  }
  return true;
}

// The signature's 64 integers, each 0 to 255, into `out` (of the array's
// size). Flattened: the library's element accessors, left out of line
// otherwise, cost more than the loop itself, 64 times a record.
[[gnu::flatten]] bool read_signature_bytes(simdjson::dom::array bytes, Signature& out) noexcept {
  std::size_t i = 0;
  for (element b : bytes) {
    std::int64_t v = -1;
    if (b.type() != element_type::INT64 || b.get_int64().get(v) != simdjson::SUCCESS || v < 0 || v > 255) {
      return false;
    }
    out[i++] = static_cast<std::uint8_t>(v);
  }
  return true;
}

constexpr std::array<std::string_view, 3> triplet_names = {"provenance", "place", "purpose"};
constexpr std::array<element_type, 3> triplet_types = {element_type::STRING, element_type::STRING,
                                                       element_type::STRING};
constexpr std::array<std::string_view, 4> review_names = {"chain_id", "agent_decision_ref", "resolved",
                                                          "terminal_node"};
constexpr std::array<element_type, 4> review_types = {element_type::STRING, element_type::STRING, element_type::BOOL,
                                                      element_type::STRING};

}  // namespace

std::string RecordReader::read(std::string_view line, bool padded, RecordFields& fields) {
  Parsers& p = *parsers_;
  // The writer puts nothing around the object: a carriage return or a space
  // there means the line was rewritten.
  if (line.empty() || line.front() != '{' || line.back() != '}') return "not a bare JSON object";
  element root;
  if (auto error = p.line.parse(line.data(), line.size(), !padded).get(root); error != simdjson::SUCCESS) {
    std::string message = "not a JSON text: ";
    message += simdjson::error_message(error);
    return message;
  }
  simdjson::dom::object object;
  if (root.get_object().get(object) != simdjson::SUCCESS) return "not a JSON object";
  if (object.size() != record_members) {
    return "holds " + std::to_string(object.size()) + " members, not the fifteen of a record";
  }

  std::size_t index = 0;
  for (auto member : object) {
    if (member.key != member_names[index]) {
      std::string message = "member ";
      message += std::to_string(index + 1);
      message += " is \"";
      message += member.key;
      message += "\" where \"";
      message += member_names[index];
      message += "\" belongs";
      return message;
    }
    const element value = member.value;
    const element_type type = value.type();
    std::string_view text;
    if (type == element_type::STRING && value.get_string().get(text) != simdjson::SUCCESS) return "not a JSON text";

    switch (index) {
      case 0:
        if (type != element_type::STRING || !id_shape(text)) return member_message(index, "is not \"oxa_\" and a UUID");
        fields.id = text;
        break;
      case 1:
        if (type != element_type::STRING || !timestamp_shape(text)) {
          return member_message(index, "is not a UTC time text");
        }
        fields.timestamp = text;
        break;
      case 2:
        if (!(type == element_type::UINT64 || (type == element_type::INT64 && value.get_int64().value_unsafe() >= 0))) {
          return member_message(index, "is not an unsigned integer");
        }
        break;
      case 3:
      case 5:
        if (type != element_type::STRING || !read_hash_hex(text, index == 3 ? fields.hash : fields.merkle_root)) {
          return member_message(index, "is not 64 lower-case hexadecimal digits");
        }
        break;
      case 4: {
        simdjson::dom::array bytes;
        if (value.get_array().get(bytes) != simdjson::SUCCESS || bytes.size() != fields.signature.size()) {
          return member_message(index, "is not an array of 64 byte values");
        }
        if (!read_signature_bytes(bytes, fields.signature)) {
          return member_message(index, "is not an array of 64 byte values");
        }
        break;
      }
      case 6:
      case 7: {
        double number = std::numeric_limits<double>::quiet_NaN();
        if (type == element_type::DOUBLE) {
          number = value.get_double().value_unsafe();
        } else if (type != element_type::NULL_VALUE) {
          return member_message(index, "is not a float or null");
        }
        (index == 6 ? fields.coherence : fields.reputation) = number;
        break;
      }
      case 8: {
        element triplet;
        std::array<std::string_view, 3> strings;
        if (type != element_type::STRING || parse_nested(p.triplet, p.scratch, text, triplet) != simdjson::SUCCESS ||
            !nested_object(triplet, triplet_names, triplet_types, strings)) {
          return member_message(index, "is not the JSON text of a provenance, place and purpose");
        }
        fields.provenance = strings[0];
        fields.place = strings[1];
        fields.purpose = strings[2];
        break;
      }
      case 13: {
        element review;
        std::array<std::string_view, 3> strings;  // chain_id, agent_decision_ref, terminal_node
        if (type != element_type::STRING || parse_nested(p.review, p.scratch, text, review) != simdjson::SUCCESS ||
            !nested_object(review, review_names, review_types, strings)) {
          return member_message(index, "is not the JSON text of a review link");
        }
        fields.review_resolved = review.at_key("resolved").get_bool().value_unsafe();
        fields.review_terminal_node = strings[2];
        break;
      }
      case 14:
        if (type == element_type::STRING) {
          fields.core_insight_json = text;
        } else if (type == element_type::NULL_VALUE) {
          fields.core_insight_json.reset();
        } else {
          return member_message(index, "is not a string or null");
        }
        break;
      default:  // ctx_json, prompt, reasoning_trace_json, output
        if (type != element_type::STRING) return member_message(index, "is not a string");
        if (index == 10) fields.prompt = text;
        if (index == 12) fields.output = text;
        break;
    }
    ++index;
  }
  return {};
}

}  // namespace oxa::logread
