# The witness core: trust policies and their quorums, cosignatures, and the
# checks of an add-checkpoint request, over the notary's signed notes and the
# tree layer's consistency proofs. Plain C++; oxa-witness reaches it through
# the verifier's extension, and the notary and the verifier can link it for
# policies and cosignatures.
file(GLOB OXA_WITNESS_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../src/witness/*.cpp)
add_library(oxa_witness STATIC ${OXA_WITNESS_SOURCES})
target_link_libraries(oxa_witness PUBLIC oxa_notary oxa_tlog)
# The verifier checks checkpoints' cosignatures under a witness policy.
target_link_libraries(oxa_verify_core PUBLIC oxa_witness)

if(TARGET oxa_verify_native)
  target_link_libraries(oxa_verify_native PRIVATE oxa_witness)
endif()

# The witness's fuzz target, in the verifier's sanitized clang build.
if(TVEL_OXA_BUILD_FUZZ)
  target_compile_options(oxa_witness PRIVATE ${_oxa_sanitizers} -fsanitize=fuzzer-no-link)
  add_executable(witness_fuzz ${CMAKE_CURRENT_LIST_DIR}/../tests/fuzz/witness_fuzz.cpp)
  target_compile_options(witness_fuzz PRIVATE ${_oxa_sanitizers} -fsanitize=fuzzer)
  target_link_options(witness_fuzz PRIVATE ${_oxa_sanitizers} -fsanitize=fuzzer)
  target_link_libraries(witness_fuzz PRIVATE oxa_witness)
endif()
