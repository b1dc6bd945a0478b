#include "module/panic_exception.hpp"

#include <cstdio>
#include <string>

#include "module/py_ref.hpp"

namespace oxa::py {

namespace {
constexpr const char* panic_exception_name = "tvel_oxa.PanicException";
constexpr const char* panic_exception_doc =
    "Raised when the native code of tvel_oxa fails fatally (an unusable signing key file, "
    "a failing random source or clock).\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that "
    "an 'except Exception' clause does not swallow it and it propagates all the way up.";

PyObject* panic_type = nullptr;
}  // namespace

PyObject* panic_exception_type() {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(panic_exception_name, panic_exception_doc,
                                           PyExc_BaseException, nullptr);
  }
  return panic_type;
}

void raise_panic(std::string_view message) {
  const std::string report = "tvel_oxa: internal fault: " + std::string(message) + "\n";
  std::fputs(report.c_str(), stderr);
  std::fflush(stderr);

  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the error of the failed creation stays set
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

}  // namespace oxa::py
