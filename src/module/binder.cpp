#include "module/binder.hpp"

#include <string>
#include <vector>

#include "module/py_ref.hpp"

namespace oxa::py {

namespace {

std::string callable_display_name(const CallSignature& signature) {
  return std::string(signature.class_name) + "." + signature.callable_name + "()";
}

[[noreturn]] void fail_too_many(const CallSignature& signature, std::size_t given) {
  const std::size_t total = signature.parameters.size();
  std::string message = callable_display_name(signature);
  if (signature.required == total) {
    message += " takes " + std::to_string(total);
  } else {
    message += " takes from " + std::to_string(signature.required) + " to " + std::to_string(total);
  }
  message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw ErrorAlreadySet{};
}

[[noreturn]] void fail_unexpected_keyword(const CallSignature& signature, PyObject* key) {
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
               callable_display_name(signature).c_str(), key);
  throw ErrorAlreadySet{};
}

[[noreturn]] void fail_multiple_values(const CallSignature& signature, const char* parameter) {
  PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
               callable_display_name(signature).c_str(), parameter);
  throw ErrorAlreadySet{};
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_name_list(const std::vector<const char*>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        list += " and ";
      } else {
        list += (i + 1 == names.size()) ? ", and " : ", ";
      }
    }
    list += "'";
    list += names[i];
    list += "'";
  }
  return list;
}

[[noreturn]] void fail_missing(const CallSignature& signature, const std::vector<const char*>& missing) {
  const std::string message = callable_display_name(signature) + " missing " + std::to_string(missing.size()) +
                              " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                              ": " + quoted_name_list(missing);
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw ErrorAlreadySet{};
}

}  // namespace

void bind_arguments(const CallSignature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots) {
  const std::size_t total = signature.parameters.size();
  const Py_ssize_t given_signed = PyTuple_Size(args);
  if (given_signed < 0) throw ErrorAlreadySet{};
  const auto given = static_cast<std::size_t>(given_signed);

  for (auto& slot : slots) slot = nullptr;
  if (given > total) fail_too_many(signature, given);
  for (std::size_t i = 0; i < given; ++i) {
    slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }

  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      std::size_t index = total;
      if (PyUnicode_Check(key)) {
        for (std::size_t i = 0; i < total; ++i) {
          if (PyUnicode_CompareWithASCIIString(key, signature.parameters[i]) == 0) {
            index = i;
            break;
          }
        }
      }
      if (index == total) fail_unexpected_keyword(signature, key);
      if (slots[index] != nullptr) fail_multiple_values(signature, signature.parameters[index]);
      slots[index] = value;
    }
  }

  if (given < signature.required) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.required; ++i) {
      if (slots[i] == nullptr) missing.push_back(signature.parameters[i]);
    }
    if (!missing.empty()) fail_missing(signature, missing);
  }
}

}  // namespace oxa::py
