// The module entry point: PyInit_tvel_oxa, the only exported symbol.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "module/classes.hpp"
#include "module/error_boundary.hpp"

namespace oxa::py {

namespace {

constexpr const char* module_doc =
    "Main native library interface mapping out public Python module interface class pointers.";

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tvel_oxa",
    module_doc,
    0,  // no per-module state
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first initialised the module; -1 until then.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* cached_module = nullptr;

void claim_interpreter() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    throw ErrorAlreadySet{};
  }
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "tvel_oxa does not support sub-interpreters: it can be imported by one interpreter "
                    "per process only");
    throw ErrorAlreadySet{};
  }
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
  Ref text = Ref::steal_or_throw(PyUnicode_FromString(name));
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw ErrorAlreadySet{};
    PyErr_Clear();
    all = Ref::steal_or_throw(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw ErrorAlreadySet{};
  }
  if (PyList_Append(all.get(), text.get()) != 0) throw ErrorAlreadySet{};
  if (PyObject_SetAttr(module, text.get(), reinterpret_cast<PyObject*>(type)) != 0) throw ErrorAlreadySet{};
}

PyObject* initialise() {
  return guarded_object([] {
    claim_interpreter();
    if (cached_module != nullptr) return Ref::borrow(cached_module).release();

    // Nothing is cached until every class is registered, so a failure leaves no half-made module.
    Ref module = Ref::steal_or_throw(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
    add_class(module.get(), oxa_engine_name, oxa_engine_type());
    add_class(module.get(), ppp_triplet_name, ppp_triplet_type());
    add_class(module.get(), human_delta_chain_name, human_delta_chain_type());
    add_class(module.get(), sealed_record_name, sealed_record_type());
    cached_module = Ref::borrow(module.get()).release();
    return module.release();
  });
}

}  // namespace

}  // namespace oxa::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tvel_oxa() { return oxa::py::initialise(); }
