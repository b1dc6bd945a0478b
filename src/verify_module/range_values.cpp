#include "verify_module/range_values.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "module/py_ref.hpp"
#include "verify/verify_errors.hpp"
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

Ref packed_numbers(const std::vector<std::uint64_t>& numbers) {
  std::string packed(numbers.size() * offset_bytes, '\0');
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    for (std::size_t b = 0; b < offset_bytes; ++b) {
      packed[i * offset_bytes + b] = static_cast<char>(numbers[i] >> (8 * b));
    }
  }
  return Ref::steal_or_throw(PyBytes_FromStringAndSize(packed.data(), static_cast<Py_ssize_t>(packed.size())));
}

std::vector<std::uint64_t> unpacked_numbers(PyObject* object, const char* message) {
  const std::string packed = bytes_text(object);
  if (packed.size() % offset_bytes != 0) refuse(PyExc_ValueError, message);
  std::vector<std::uint64_t> numbers;
  numbers.reserve(packed.size() / offset_bytes);
  for (std::size_t at = 0; at < packed.size(); at += offset_bytes) {
    std::uint64_t number = 0;
    for (std::size_t b = 0; b < offset_bytes; ++b) {
      number |= std::uint64_t{static_cast<unsigned char>(packed[at + b])} << (8 * b);
    }
    numbers.push_back(number);
  }
  return numbers;
}

}  // namespace

PyObject* range_value(const verify::CheckedRange& range) {
  Ref key = Ref::steal_or_throw(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(range.key.data()),
                                                          static_cast<Py_ssize_t>(range.key.size())));
  Ref digest = Ref::steal_or_throw(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(range.digest.data()),
                                                             static_cast<Py_ssize_t>(range.digest.size())));
  Ref offsets = packed_numbers(range.bad);
  Ref lines = packed_numbers(range.bad_lines);
  return Py_BuildValue("(KKOKOOOK)", static_cast<unsigned long long>(range.start),
                       static_cast<unsigned long long>(range.end), key.get(),
                       static_cast<unsigned long long>(range.records), digest.get(), offsets.get(), lines.get(),
                       static_cast<unsigned long long>(range.lines));
}

std::vector<verify::CheckedRange> range_list(PyObject* list) {
  if (!PyList_Check(list)) refuse(PyExc_TypeError, "the checked ranges must be a list of tuples");
  std::vector<verify::CheckedRange> ranges;
  const Py_ssize_t size = PyList_Size(list);
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    if (!PyTuple_Check(item) || PyTuple_Size(item) != 8) {
      refuse(PyExc_TypeError,
             "a checked range must be a tuple (start, end, key, records, digest, bad, bad_lines, lines)");
    }
    verify::CheckedRange range;
    range.start = whole_number(PyTuple_GetItem(item, 0));
    range.end = whole_number(PyTuple_GetItem(item, 1));
    range.key = fixed_bytes<public_key_bytes>(PyTuple_GetItem(item, 2), "a checked range's key must be 32 bytes");
    range.records = whole_number(PyTuple_GetItem(item, 3));
    range.digest = fixed_bytes<hash_bytes>(PyTuple_GetItem(item, 4), "a checked range's digest must be 32 bytes");
    range.bad = unpacked_numbers(PyTuple_GetItem(item, 5), "a checked range's bad offsets must be 8 bytes each");
    range.bad_lines = unpacked_numbers(PyTuple_GetItem(item, 6), "a checked range's bad lines must be 8 bytes each");
    range.lines = whole_number(PyTuple_GetItem(item, 7));
    ranges.push_back(std::move(range));
  }
  return ranges;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> range_bounds(PyObject* list) {
  constexpr const char* message = "the planned ranges must be a list of (start, end) tuples";
  if (!PyList_Check(list)) refuse(PyExc_TypeError, message);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> bounds;
  const Py_ssize_t size = PyList_Size(list);
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) refuse(PyExc_TypeError, message);
    bounds.emplace_back(whole_number(PyTuple_GetItem(item, 0)), whole_number(PyTuple_GetItem(item, 1)));
  }
  return bounds;
}

verify::CheckedRangeSource range_source(PyObject* callable) {
  if (!PyCallable_Check(callable)) refuse(PyExc_TypeError, "the checked ranges' source must be callable");
  // The caller's argument tuple holds the callable for as long as the verification runs.
  return [callable]() {
    std::vector<verify::CheckedRange> ranges;
    bool failed = false;
    const PyGILState_STATE state = PyGILState_Ensure();
    try {
      Ref list = Ref::steal_or_throw(PyObject_CallObject(callable, nullptr));
      ranges = range_list(list.get());
    } catch (...) {
      // A range lost for good (its worker gone too often), a wrong value:
      // the log is then verified whole, so the reason matters no further.
      failed = true;
    }
    if (PyErr_Occurred()) PyErr_Clear();
    PyGILState_Release(state);
    if (failed) throw verify::InputError("the checked byte ranges could not be had");
    return ranges;
  };
}

}  // namespace oxa::verify_py
