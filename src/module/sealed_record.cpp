#include "module/classes.hpp"
#include "module/error_boundary.hpp"
#include "store/record_values.hpp"

namespace oxa::py {

namespace {

constexpr const char* class_doc =
    "A court-admissible, tamper-evident data structure capturing an immutable point-in-time calculation state.";

using RecordObject = Instance<RecordValues>;

// Records come only from capture; Python code cannot construct one.
PyObject* record_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  if (name && PyUnicode_Check(name.get())) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  } else {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "No constructor defined for <unknown>");
  }
  return nullptr;
}

PyObject* text_object(const std::string& text) { return new_text(text).release(); }

PyObject* signature_object(const Signature& signature) {
  Ref list = Ref::steal_or_throw(PyList_New(static_cast<Py_ssize_t>(signature.size())));
  for (std::size_t i = 0; i < signature.size(); ++i) {
    PyObject* byte = PyLong_FromLong(signature[i]);
    if (byte == nullptr) throw ErrorAlreadySet{};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), byte);  // steals byte
  }
  return list.release();
}

// One read-only attribute: how to build its Python value from the record.
struct Field {
  PyObject* (*read)(const RecordValues&);
};

constexpr Field id_field{[](const RecordValues& r) { return text_object(r.id); }};
constexpr Field timestamp_field{[](const RecordValues& r) { return text_object(r.timestamp); }};
constexpr Field monotonic_nanos_field{
    [](const RecordValues& r) { return PyLong_FromUnsignedLongLong(r.monotonic_nanos); }};
constexpr Field hash_field{[](const RecordValues& r) { return text_object(r.hash); }};
constexpr Field signature_field{[](const RecordValues& r) { return signature_object(r.signature); }};
constexpr Field merkle_root_field{[](const RecordValues& r) { return text_object(r.merkle_root); }};
constexpr Field coherence_score_field{[](const RecordValues& r) { return PyFloat_FromDouble(r.coherence_score); }};
constexpr Field reputation_scalar_field{
    [](const RecordValues& r) { return PyFloat_FromDouble(r.reputation_scalar); }};
constexpr Field ppp_json_field{[](const RecordValues& r) { return text_object(r.ppp_json); }};
constexpr Field ctx_json_field{[](const RecordValues& r) { return text_object(r.ctx_json); }};
constexpr Field prompt_field{[](const RecordValues& r) { return text_object(r.prompt); }};
constexpr Field reasoning_trace_json_field{
    [](const RecordValues& r) { return text_object(r.reasoning_trace_json); }};
constexpr Field output_field{[](const RecordValues& r) { return text_object(r.output); }};
constexpr Field human_delta_chain_json_field{
    [](const RecordValues& r) { return text_object(r.human_delta_chain_json); }};
constexpr Field core_insight_json_field{[](const RecordValues& r) -> PyObject* {
  if (!r.core_insight_json) {
    Py_IncRef(Py_None);
    return Py_None;
  }
  return text_object(*r.core_insight_json);
}};

PyObject* get_field(PyObject* self, void* closure) {
  const auto& field = *static_cast<const Field*>(closure);
  return guarded_object([&] {
    return read_attribute<RecordValues>(self, sealed_record_type(), sealed_record_name, field.read);
  });
}

PyGetSetDef read_only(const char* name, const Field& field, const char* doc) {
  return {name, get_field, nullptr, doc, const_cast<Field*>(&field)};
}

PyGetSetDef getset[] = {
    read_only("id", id_field, "Universally unique identifier managing the tracking envelope."),
    read_only("timestamp", timestamp_field, "RFC3339 timestamp recording standard real-world clock time."),
    read_only("monotonic_nanos", monotonic_nanos_field,
              "Monotonic clock offset logging real-world physical processing sequence order."),
    read_only("hash", hash_field, "BLAKE3 hash string locking total structure components."),
    read_only("signature", signature_field, "Ed25519 digital signature verifying authority origins."),
    read_only("merkle_root", merkle_root_field, "Accumulated chain integrity root verifying sequencing order."),
    read_only("coherence_score", coherence_score_field, "Similarity rating measuring historical continuity states."),
    read_only("reputation_scalar", reputation_scalar_field,
              "System health scale monitoring moving reliability baselines."),
    read_only("ppp_json", ppp_json_field, "JSON serialization holding provenance parameters."),
    read_only("ctx_json", ctx_json_field, "JSON string capturing overall operational environment conditions."),
    read_only("prompt", prompt_field, "Standard engineering input used for generating calculations."),
    read_only("reasoning_trace_json", reasoning_trace_json_field,
              "JSON representation outlining internal calculation steps."),
    read_only("output", output_field, "Definitive answer generated through computational operations."),
    read_only("human_delta_chain_json", human_delta_chain_json_field,
              "JSON structure tracking human oversight and adjustments."),
    read_only("core_insight_json", core_insight_json_field,
              "JSON representation storing analytical insight parameters."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(class_doc)},
    {Py_tp_new, reinterpret_cast<void*>(record_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<RecordValues>)},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyTypeObject* cached_type = nullptr;

}  // namespace

PyTypeObject* sealed_record_type() {
  if (cached_type == nullptr) {
    cached_type = create_type("builtins.SealedRecord", sizeof(RecordObject), slots);
    if (cached_type == nullptr) throw ErrorAlreadySet{};
  }
  return cached_type;
}

Ref new_sealed_record(RecordValues&& values) { return new_instance(sealed_record_type(), std::move(values)); }

}  // namespace oxa::py
