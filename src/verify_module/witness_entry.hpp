#pragma once

#include <Python.h>

// The native side of the oxa-witness command: its key, the checks of an
// add-checkpoint request, cosigning, and the trust policy's quorum.
namespace oxa::witness_py {

extern PyMethodDef witness_methods[];

// Adds the witness functions to a newly created module; returns the module,
// or null (having dropped it) when `module` is null or adding fails.
PyObject* add_witness_functions(PyObject* module);

}  // namespace oxa::witness_py
