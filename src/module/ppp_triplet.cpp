#include <array>

#include "module/binder.hpp"
#include "module/classes.hpp"
#include "module/error_boundary.hpp"
#include "module/text_attribute.hpp"

namespace oxa::py {

namespace {

constexpr const char* class_doc =
    "A triad of metadata anchoring the lineage, physical origin, and analytical intent of an event block.";

constexpr std::array<const char*, 3> parameters = {"provenance", "place", "purpose"};
constexpr CallSignature signature{ppp_triplet_name, "__new__", parameters, 3};

PyObject* triplet_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    const auto bound = bind_arguments<3>(signature, args, kwargs);
    PPPTripletValues values;
    values.provenance = text_argument("provenance", bound[0]);
    values.place = text_argument("place", bound[1]);
    values.purpose = text_argument("purpose", bound[2]);
    return new_instance(type, std::move(values)).release();
  });
}

using Field = TextAttribute<PPPTripletValues>;
constexpr Field provenance_field{"provenance", &PPPTripletValues::provenance, ppp_triplet_type, ppp_triplet_name};
constexpr Field place_field{"place", &PPPTripletValues::place, ppp_triplet_type, ppp_triplet_name};
constexpr Field purpose_field{"purpose", &PPPTripletValues::purpose, ppp_triplet_type, ppp_triplet_name};

PyGetSetDef getset[] = {
    text_getset(provenance_field, "Cryptographic or system lineage tracking the structural history."),
    text_getset(place_field, "The specific systemic, environmental, or geographic processing node."),
    text_getset(purpose_field, "The logical framework intent guiding the execution loop."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* cached_type = nullptr;

}  // namespace

PyTypeObject* ppp_triplet_type() {
  if (cached_type == nullptr) {
    static const std::string doc = docstring_with_signature(ppp_triplet_name, "(provenance, place, purpose)", class_doc);
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_new, reinterpret_cast<void*>(triplet_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<PPPTripletValues>)},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    cached_type = create_type("builtins.PPPTriplet", sizeof(PPPTripletObject), slots);
    if (cached_type == nullptr) throw ErrorAlreadySet{};
  }
  return cached_type;
}

}  // namespace oxa::py
