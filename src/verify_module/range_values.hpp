#pragma once

#include <Python.h>

#include <vector>

#include "verify/range_check.hpp"

namespace oxa::verify_py {

// A checked byte range as Python carries it between machines (small and
// picklable): (start, end, key: bytes, records, digest: bytes, bad: bytes),
// `bad` holding the offsets of the bad signatures as 8-byte little-endian
// numbers, growing.
PyObject* range_value(const verify::CheckedRange& range);

// A list of such tuples; anything else raises TypeError or ValueError
// (through py::ErrorAlreadySet).
std::vector<verify::CheckedRange> range_list(PyObject* list);

}  // namespace oxa::verify_py
