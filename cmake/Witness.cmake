# The transparency-log layer shared by the notary, the verifier and the
# witness (trust policies, cosignatures, consistency proofs), and the witness
# core over it. Both are plain C++; oxa-witness reaches them through the
# verifier's extension.
file(GLOB OXA_TLOG_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/../src/tlog/*.cpp ${CMAKE_CURRENT_LIST_DIR}/../src/witness/*.cpp)
add_library(oxa_witness STATIC ${OXA_TLOG_SOURCES})
target_link_libraries(oxa_witness PUBLIC oxa_notary)

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
