# The notary core: checkpoints sealed over a log, followed as it grows, and
# proofs of single lines, plain C++ over the log reader and the transparency
# formats. Its commands reach Python through the verifier's extension. Its
# tests check what it writes with the verifier's checks.
oxa_layer(notary
  PUBLIC oxa_core oxa_logread oxa_tlog
  PRIVATE simdjson::simdjson
  TEST_LIBRARIES oxa_verify_core)

# The oxa-notary command is reached through the verifier's extension.
if(TARGET oxa_verify_native)
  target_link_libraries(oxa_verify_native PRIVATE oxa_notary)
endif()

# The notary's fuzz target, in the verifier's sanitized clang build.
if(TVEL_OXA_BUILD_FUZZ)
  target_compile_options(oxa_notary PRIVATE ${_oxa_sanitizers} -fsanitize=fuzzer-no-link)
  add_executable(notary_fuzz ${CMAKE_CURRENT_LIST_DIR}/../tests/fuzz/notary_fuzz.cpp)
  target_compile_options(notary_fuzz PRIVATE ${_oxa_sanitizers} -fsanitize=fuzzer)
  target_link_options(notary_fuzz PRIVATE ${_oxa_sanitizers} -fsanitize=fuzzer)
  target_link_libraries(notary_fuzz PRIVATE oxa_notary)
endif()
