#pragma once

#include <Python.h>

#include <memory>

namespace oxa {
class AuditEngine;
}

namespace oxa::py {

// The payload of an OXAEngine instance: the engine, owned. Its destruction
// wipes the secret key.
struct EngineHandle {
  explicit EngineHandle(std::unique_ptr<AuditEngine> owned) noexcept;
  EngineHandle(EngineHandle&&) noexcept;
  ~EngineHandle();
  std::unique_ptr<AuditEngine> engine;
};

// OXAEngine.capture(ctx, prompt, reasoning_trace, output, ppp_triplet, human_delta_chain, auto_insight=True)
PyObject* capture(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace oxa::py
