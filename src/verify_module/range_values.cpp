#include "verify_module/range_values.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "module/py_ref.hpp"
#include "verify_module/python_values.hpp"

namespace oxa::verify_py {

using py::ErrorAlreadySet;
using py::Ref;

namespace {

constexpr std::size_t offset_bytes = 8;

[[noreturn]] void refuse(PyObject* kind, const char* message) {
  PyErr_SetString(kind, message);
  throw ErrorAlreadySet{};
}

std::uint64_t whole_number(PyObject* object) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (PyErr_Occurred()) throw ErrorAlreadySet{};
  return value;
}

template <std::size_t N>
std::array<std::uint8_t, N> fixed_bytes(PyObject* object, const char* message) {
  const std::string text = bytes_text(object);
  if (text.size() != N) refuse(PyExc_ValueError, message);
  std::array<std::uint8_t, N> out{};
  std::copy(text.begin(), text.end(), out.begin());
  return out;
}

}  // namespace

PyObject* range_value(const verify::CheckedRange& range) {
  std::string bad(range.bad.size() * offset_bytes, '\0');
  for (std::size_t i = 0; i < range.bad.size(); ++i) {
    for (std::size_t b = 0; b < offset_bytes; ++b) {
      bad[i * offset_bytes + b] = static_cast<char>(range.bad[i] >> (8 * b));
    }
  }
  Ref key = Ref::steal_or_throw(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(range.key.data()),
                                                          static_cast<Py_ssize_t>(range.key.size())));
  Ref digest = Ref::steal_or_throw(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(range.digest.data()),
                                                             static_cast<Py_ssize_t>(range.digest.size())));
  Ref offsets = Ref::steal_or_throw(PyBytes_FromStringAndSize(bad.data(), static_cast<Py_ssize_t>(bad.size())));
  return Py_BuildValue("(KKOKOO)", static_cast<unsigned long long>(range.start),
                       static_cast<unsigned long long>(range.end), key.get(),
                       static_cast<unsigned long long>(range.records), digest.get(), offsets.get());
}

std::vector<verify::CheckedRange> range_list(PyObject* list) {
  if (!PyList_Check(list)) refuse(PyExc_TypeError, "the checked ranges must be a list of tuples");
  std::vector<verify::CheckedRange> ranges;
  const Py_ssize_t size = PyList_Size(list);
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    if (!PyTuple_Check(item) || PyTuple_Size(item) != 6) {
      refuse(PyExc_TypeError, "a checked range must be a tuple (start, end, key, records, digest, bad)");
    }
    verify::CheckedRange range;
    range.start = whole_number(PyTuple_GetItem(item, 0));
    range.end = whole_number(PyTuple_GetItem(item, 1));
    range.key = fixed_bytes<public_key_bytes>(PyTuple_GetItem(item, 2), "a checked range's key must be 32 bytes");
    range.records = whole_number(PyTuple_GetItem(item, 3));
    range.digest = fixed_bytes<hash_bytes>(PyTuple_GetItem(item, 4), "a checked range's digest must be 32 bytes");
    const std::string bad = bytes_text(PyTuple_GetItem(item, 5));
    if (bad.size() % offset_bytes != 0) refuse(PyExc_ValueError, "a checked range's bad offsets must be 8 bytes each");
    for (std::size_t at = 0; at < bad.size(); at += offset_bytes) {
      std::uint64_t offset = 0;
      for (std::size_t b = 0; b < offset_bytes; ++b) {
        offset |= std::uint64_t{static_cast<unsigned char>(bad[at + b])} << (8 * b);
      }
      range.bad.push_back(offset);
    }
    ranges.push_back(std::move(range));
  }
  return ranges;
}

}  // namespace oxa::verify_py
