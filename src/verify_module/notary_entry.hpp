#pragma once

#include <Python.h>

namespace oxa::notary_py {

// run_notary_command(args: list[str]) -> int: the whole oxa-notary command,
// run with the interpreter lock released. While `follow` runs, pending
// signals are handled now and then; one whose handler raises (SIGINT, and
// SIGTERM as the oxa-notary script sets it up) ends the follow after its last
// checkpoint, and the command returns normally.
PyObject* run_notary_command_entry(PyObject* self, PyObject* args);

inline constexpr const char* run_notary_command_doc =
    "run_notary_command(args)\n--\n\nRuns the oxa-notary command; returns its exit status.";

}  // namespace oxa::notary_py
