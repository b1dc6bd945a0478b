#pragma once

#include <string>

#include "store/record_values.hpp"

namespace oxa {

// Appends the log line of a record, without its line feed: one compact JSON
// object with the fifteen members in record order. Texts that are themselves
// JSON go in as strings; the signature is an array of its 64 byte values; a
// missing insight is null.
void append_record_line(std::string& out, const RecordValues& record);

}  // namespace oxa
