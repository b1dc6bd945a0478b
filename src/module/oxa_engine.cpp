#include <array>
#include <memory>

#include "engine/audit_engine.hpp"
#include "module/binder.hpp"
#include "module/classes.hpp"
#include "module/error_boundary.hpp"
#include "module/interpreter_lock.hpp"
#include "module/oxa_engine.hpp"

namespace oxa::py {

namespace {

constexpr const char* class_doc =
    "High-performance Python extension wrapper container exposed for model integration bindings.";

constexpr std::array<const char*, 1> parameters = {"wal_path"};
constexpr CallSignature signature{oxa_engine_name, "__new__", parameters, 1};

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    const auto bound = bind_arguments<1>(signature, args, kwargs);
    std::string wal_path = text_argument("wal_path", bound[0]);
    // The engine is complete before the Python object exists; if the object
    // cannot be allocated, the engine's destructor wipes the key. Making it
    // touches the log and reads or writes the key file, which may block on a
    // slow or network file system: other threads run meanwhile.
    std::unique_ptr<AuditEngine> made;
    {
      ReleasedInterpreterLock unlocked;
      made = std::make_unique<AuditEngine>(std::move(wal_path));
    }
    EngineHandle engine(std::move(made));
    if (const auto& warning = engine.engine->key_file_warning()) {
      // A filter that turns the warning into an error refuses the engine.
      if (PyErr_WarnEx(PyExc_RuntimeWarning, warning->c_str(), 1) != 0) throw ErrorAlreadySet{};
    }
    return new_instance(type, std::move(engine)).release();
  });
}

PyObject* public_key_hex(PyObject* self, PyObject*) {
  return guarded_object([&] {
    auto& instance = receiver<EngineHandle>(self, oxa_engine_type(), oxa_engine_name);
    BorrowGuard borrow = BorrowGuard::shared(instance.borrow_count);
    return new_text(instance.payload.engine->public_key_hex()).release();
  });
}

PyMethodDef methods[] = {
    {"capture", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(capture)), METH_VARARGS | METH_KEYWORDS,
     "capture($self, ctx, prompt, reasoning_trace, output, ppp_triplet, human_delta_chain, auto_insight=True)\n--\n\n"
     "Captures execution contexts, runs real-time consistency checks, and signs an immutable audit record."},
    {"public_key_hex", public_key_hex, METH_NOARGS,
     "public_key_hex($self)\n--\n\nExposes the verifying identity public hex configuration signature."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* cached_type = nullptr;

}  // namespace

EngineHandle::EngineHandle(std::unique_ptr<AuditEngine> owned) noexcept : engine(std::move(owned)) {}
EngineHandle::EngineHandle(EngineHandle&&) noexcept = default;
EngineHandle::~EngineHandle() = default;

PyTypeObject* oxa_engine_type() {
  if (cached_type == nullptr) {
    static const std::string doc = docstring_with_signature(oxa_engine_name, "(wal_path)", class_doc);
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_new, reinterpret_cast<void*>(engine_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<EngineHandle>)},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    cached_type = create_type("builtins.OXAEngine", sizeof(Instance<EngineHandle>), slots);
    if (cached_type == nullptr) throw ErrorAlreadySet{};
  }
  return cached_type;
}

}  // namespace oxa::py
