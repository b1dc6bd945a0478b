#include <array>

#include "common/uuid_text.hpp"
#include "module/binder.hpp"
#include "module/classes.hpp"
#include "module/error_boundary.hpp"
#include "module/text_attribute.hpp"

namespace oxa::py {

namespace {

constexpr const char* class_doc =
    "An audit node linking autonomous determinations to definitive human-in-the-loop review overrides.";

constexpr std::array<const char*, 4> parameters = {"agent_decision_ref", "resolved", "terminal_node", "chain_id"};
constexpr CallSignature signature{human_delta_chain_name, "__new__", parameters, 3};

PyObject* chain_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_object([&] {
    const auto bound = bind_arguments<4>(signature, args, kwargs);
    HumanDeltaChainValues values;
    values.agent_decision_ref = text_argument("agent_decision_ref", bound[0]);
    values.resolved = flag_argument("resolved", bound[1]);
    values.terminal_node = text_argument("terminal_node", bound[2]);
    if (bound[3] == nullptr || bound[3] == Py_None) {
      // A fresh identifier for every construction that needs one.
      append_random_uuid_v4(values.chain_id);
    } else {
      values.chain_id = text_argument("chain_id", bound[3]);
    }
    return new_instance(type, std::move(values)).release();
  });
}

using Field = TextAttribute<HumanDeltaChainValues>;
constexpr Field chain_id_field{"chain_id", &HumanDeltaChainValues::chain_id, human_delta_chain_type,
                               human_delta_chain_name};
constexpr Field agent_decision_ref_field{"agent_decision_ref", &HumanDeltaChainValues::agent_decision_ref,
                                         human_delta_chain_type, human_delta_chain_name};
constexpr Field terminal_node_field{"terminal_node", &HumanDeltaChainValues::terminal_node, human_delta_chain_type,
                                    human_delta_chain_name};

PyObject* get_resolved(PyObject* self, void*) {
  return guarded_object([&] {
    return read_attribute<HumanDeltaChainValues>(self, human_delta_chain_type(), human_delta_chain_name,
                                                 [](const HumanDeltaChainValues& values) {
                                                   return PyBool_FromLong(values.resolved ? 1 : 0);
                                                 });
  });
}

int set_resolved(PyObject* self, PyObject* value, void*) {
  return guarded_status([&] {
    return write_attribute<HumanDeltaChainValues>(
        self, value, human_delta_chain_type(), human_delta_chain_name, "resolved", flag_value,
        [](HumanDeltaChainValues& values, bool flag) { values.resolved = flag; });
  });
}

PyGetSetDef getset[] = {
    text_getset(chain_id_field, "Unique identity tracking the active sequence."),
    text_getset(agent_decision_ref_field,
                "Reference signature pointer linking directly back to the original model output."),
    {"resolved", get_resolved, set_resolved,
     "Evaluation state marking whether review processing has formally closed.", nullptr},
    text_getset(terminal_node_field, "Terminal validation node sealing the chain integrity state."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* cached_type = nullptr;

}  // namespace

PyTypeObject* human_delta_chain_type() {
  if (cached_type == nullptr) {
    static const std::string doc = docstring_with_signature(
        human_delta_chain_name, "(agent_decision_ref, resolved, terminal_node, chain_id=None)", class_doc);
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_new, reinterpret_cast<void*>(chain_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<HumanDeltaChainValues>)},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    cached_type = create_type("builtins.HumanDeltaChain", sizeof(HumanDeltaChainObject), slots);
    if (cached_type == nullptr) throw ErrorAlreadySet{};
  }
  return cached_type;
}

}  // namespace oxa::py
