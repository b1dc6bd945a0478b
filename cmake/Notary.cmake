# The notary core: tree hashing, signed notes, checkpoints and proofs over a
# log, plain C++ on top of oxa_core. Its commands reach Python through the
# verifier's extension.
if(NOT TARGET simdjson::simdjson)
  find_package(simdjson CONFIG QUIET)
endif()
if(NOT TARGET simdjson::simdjson)
  message(FATAL_ERROR
    "simdjson was not found. Install the Debian package libsimdjson-dev "
    "(apt-get install libsimdjson-dev), or run 'make test', which installs it.")
endif()

file(GLOB OXA_NOTARY_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../src/notary/*.cpp)
add_library(oxa_notary STATIC ${OXA_NOTARY_SOURCES})
# The log is read through the verifier's reader of the logical log.
target_link_libraries(oxa_notary PUBLIC oxa_core oxa_tlog oxa_verify_core PRIVATE simdjson::simdjson)

if(TVEL_OXA_BUILD_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
  file(GLOB OXA_NOTARY_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../tests/cpp/notary/*_test.cpp)
  add_executable(oxa_notary_tests ${OXA_NOTARY_TEST_SOURCES})
  target_include_directories(oxa_notary_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../tests/cpp)
  target_link_libraries(oxa_notary_tests PRIVATE oxa_notary GTest::gtest GTest::gtest_main)
  gtest_discover_tests(oxa_notary_tests DISCOVERY_TIMEOUT 60)
endif()

# oxa-verify's checks of checkpoints and proofs call into the notary core, and
# the notary reads logs through the verifier's reader: the two static
# libraries depend on each other, which CMake resolves by repeating them.
target_link_libraries(oxa_verify_core PUBLIC oxa_notary)

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
