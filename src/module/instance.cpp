#include "module/instance.hpp"

namespace oxa::py {

PyTypeObject* create_type(const char* qualified_name, int basic_size, PyType_Slot* slots) {
  PyType_Spec spec{qualified_name, basic_size, 0, Py_TPFLAGS_DEFAULT, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

std::string docstring_with_signature(const char* name, const char* signature, const char* doc) {
  return std::string(name) + signature + "\n--\n\n" + doc;
}

}  // namespace oxa::py
