#pragma once

#include <Python.h>

#include "engine/context_values.hpp"
#include "module/instance.hpp"

namespace oxa {
class AuditEngine;
struct RecordValues;
}  // namespace oxa

namespace oxa::py {

// Each class's type object, created on first need and cached for the life of
// the process. Throws ErrorAlreadySet when creation fails.
PyTypeObject* oxa_engine_type();
PyTypeObject* ppp_triplet_type();
PyTypeObject* human_delta_chain_type();
PyTypeObject* sealed_record_type();

inline constexpr const char* oxa_engine_name = "OXAEngine";
inline constexpr const char* ppp_triplet_name = "PPPTriplet";
inline constexpr const char* human_delta_chain_name = "HumanDeltaChain";
inline constexpr const char* sealed_record_name = "SealedRecord";

using PPPTripletObject = Instance<PPPTripletValues>;
using HumanDeltaChainObject = Instance<HumanDeltaChainValues>;

// Wraps finished record values in a new SealedRecord.
Ref new_sealed_record(RecordValues&& values);

}  // namespace oxa::py
