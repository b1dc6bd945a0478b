#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "module/borrow.hpp"
#include "module/conversions.hpp"
#include "module/py_ref.hpp"

namespace oxa::py {

// The memory layout of every instance of the module's classes: the object
// header, the borrow state and the C++ payload that owns the instance's data.
// `constructed` is set once the payload exists. The classes' __new__ can be
// replaced from Python (heap types are mutable before 3.10), and an object
// made by object.__new__ comes zero-filled with no payload: such an object is
// refused by every method and attribute, and its deallocation skips the payload.
template <class Payload>
struct Instance {
  PyObject ob_base;
  BorrowCount borrow_count;
  bool constructed;
  Payload payload;
};

inline constexpr const char* not_constructed_message = "'%s' object was not created by its constructor";

template <class Payload>
Instance<Payload>& constructed_instance(PyObject* object, const char* class_name) {
  auto& instance = *reinterpret_cast<Instance<Payload>*>(object);
  if (!instance.constructed) {
    PyErr_Format(PyExc_TypeError, not_constructed_message, class_name);
    throw ErrorAlreadySet{};
  }
  return instance;
}

// Allocates an instance through the type's alloc slot and moves the payload in.
// The payload is built by the caller first, so that nothing can fail once the
// object exists.
template <class Payload>
Ref new_instance(PyTypeObject* type, Payload&& payload) {
  static_assert(std::is_nothrow_move_constructible_v<Payload>);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref object = Ref::steal_or_throw(alloc(type, 0));
  auto* instance = reinterpret_cast<Instance<Payload>*>(object.get());
  instance->borrow_count = BorrowCount{};
  new (&instance->payload) Payload(std::move(payload));
  instance->constructed = true;
  return object;
}

// Deallocation slot: releases the payload, frees the object through the type's
// free slot, then drops the reference that a heap-type instance holds on its type.
template <class Payload>
void dealloc_instance(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  auto* instance = reinterpret_cast<Instance<Payload>*>(object);
  if (instance->constructed) instance->payload.~Payload();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(object);
  Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// The receiver of a method or attribute, checked against its class.
template <class Payload>
Instance<Payload>& receiver(PyObject* self, PyTypeObject* type, const char* class_name) {
  if (!PyObject_TypeCheck(self, type)) fail_type_mismatch(self, class_name);
  return constructed_instance<Payload>(self, class_name);
}

// An argument that must be an instance of one of the module's classes.
template <class Payload>
Instance<Payload>& instance_argument(const char* parameter, PyObject* object, PyTypeObject* type,
                                     const char* class_name) {
  return convert_argument(parameter, [&]() -> Instance<Payload>& {
    if (Py_TYPE(object) != type) fail_type_mismatch(object, class_name);
    return constructed_instance<Payload>(object, class_name);
  });
}

// Builds a heap type from its slot table: "builtins.NAME", default flags only
// (not subclassable, no __dict__, no weak references). The slot table and the
// tables it points to must outlive the type; the docstring is copied.
PyTypeObject* create_type(const char* qualified_name, int basic_size, PyType_Slot* slots);

// "NAME(SIGNATURE)\n--\n\nDOC": the interpreter derives __doc__ and
// __text_signature__ from this form.
std::string docstring_with_signature(const char* name, const char* signature, const char* doc);

// Attribute plumbing shared by the value classes. A getter takes a shared
// borrow for the time of the read; a setter converts the value first, then
// takes an exclusive borrow to store it; deleting always fails.
inline constexpr const char* cannot_delete_message = "can't delete attribute";

template <class Payload, class Read>
PyObject* read_attribute(PyObject* self, PyTypeObject* type, const char* class_name, Read&& read) {
  auto& instance = receiver<Payload>(self, type, class_name);
  BorrowGuard borrow = BorrowGuard::shared(instance.borrow_count);
  return read(instance.payload);
}

template <class Payload, class Convert, class Store>
int write_attribute(PyObject* self, PyObject* value, PyTypeObject* type, const char* class_name,
                    const char* name, Convert&& convert, Store&& store) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, cannot_delete_message);
    throw ErrorAlreadySet{};
  }
  auto& instance = receiver<Payload>(self, type, class_name);
  auto converted = convert_argument(name, [&] { return convert(value); });
  BorrowGuard borrow = BorrowGuard::exclusive(instance.borrow_count);
  store(instance.payload, std::move(converted));
  return 0;
}

}  // namespace oxa::py
