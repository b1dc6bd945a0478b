#pragma once

#include <Python.h>

#include <vector>

#include "verify/range_check.hpp"

namespace oxa::verify_py {

// A checked byte range as Python carries it between machines (small and
// picklable): (start, end, key: bytes, records, digest: bytes, bad: bytes,
// bad_lines: bytes, lines), `bad` holding the offsets of the bad signatures
// and `bad_lines` their lines counted from the range's first, both as 8-byte
// little-endian numbers, growing.
PyObject* range_value(const verify::CheckedRange& range);

// A list of such tuples; anything else raises TypeError or ValueError
// (through py::ErrorAlreadySet).
std::vector<verify::CheckedRange> range_list(PyObject* list);

// A list of (start, end) pairs: the planned ranges' bounds.
std::vector<std::pair<std::uint64_t, std::uint64_t>> range_bounds(PyObject* list);

// Outcomes asked for from a Python callable that returns such a list, called
// with the interpreter lock taken again. Whatever it raises is cleared and
// becomes InputError, so that the caller verifies the log without them.
verify::CheckedRangeSource range_source(PyObject* callable);

}  // namespace oxa::verify_py
