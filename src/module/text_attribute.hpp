#pragma once

#include <Python.h>

#include <string>

#include "module/error_boundary.hpp"
#include "module/instance.hpp"

namespace oxa::py {

// A readable and assignable text attribute of a value class; the getset
// closure points at its description.
template <class Values>
struct TextAttribute {
  const char* name;
  std::string Values::*member;
  PyTypeObject* (*type)();
  const char* class_name;

  void* closure() const { return const_cast<TextAttribute*>(this); }
};

template <class Values>
PyObject* get_text_attribute(PyObject* self, void* closure) {
  const auto& field = *static_cast<const TextAttribute<Values>*>(closure);
  return guarded_object([&] {
    return read_attribute<Values>(self, field.type(), field.class_name, [&](const Values& values) {
      return new_text(values.*(field.member)).release();
    });
  });
}

template <class Values>
int set_text_attribute(PyObject* self, PyObject* value, void* closure) {
  const auto& field = *static_cast<const TextAttribute<Values>*>(closure);
  return guarded_status([&] {
    return write_attribute<Values>(self, value, field.type(), field.class_name, field.name, text_value,
                                   [&](Values& values, std::string&& text) { values.*(field.member) = std::move(text); });
  });
}

template <class Values>
PyGetSetDef text_getset(const TextAttribute<Values>& field, const char* doc) {
  return {field.name, get_text_attribute<Values>, set_text_attribute<Values>, doc, field.closure()};
}

}  // namespace oxa::py
