# The witness core: the checks of an add-checkpoint request and the
# cosignature it answers with, over the transparency formats (signed notes,
# cosignatures, policies, consistency proofs). Plain C++; oxa-witness reaches
# it through the verifier's extension.
oxa_layer(witness PUBLIC oxa_tlog)

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
