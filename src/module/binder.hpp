#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

namespace oxa::py {

// The parameters of one callable: all positional-or-keyword, the first
// `required` of them required, no *args or **kwargs.
struct CallSignature {
  const char* class_name;
  const char* callable_name;
  std::span<const char* const> parameters;
  std::size_t required;
};

// Fills one slot per parameter with a borrowed reference from the positional
// tuple or the keyword dictionary (null where an optional parameter was left
// out). Raises the binder's TypeError and throws ErrorAlreadySet on a bad call.
void bind_arguments(const CallSignature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots);

template <std::size_t N>
std::array<PyObject*, N> bind_arguments(const CallSignature& signature, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, N> slots{};
  bind_arguments(signature, args, kwargs, slots);
  return slots;
}

}  // namespace oxa::py
