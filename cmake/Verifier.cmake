# The offline log verifier: a plain C++ core (oxa_verify_core), the abi3
# extension oxa_verify._native over it, its C++ tests and its fuzz target.

find_package(simdjson REQUIRED)
find_package(ZLIB REQUIRED)

file(GLOB OXA_VERIFY_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../src/verify/*.cpp)
add_library(oxa_verify_core STATIC ${OXA_VERIFY_SOURCES})
target_link_libraries(oxa_verify_core PUBLIC oxa_core oxa_logread oxa_tlog PRIVATE simdjson::simdjson ZLIB::ZLIB)
find_package(Threads REQUIRED)
target_link_libraries(oxa_verify_core PUBLIC Threads::Threads)

if(TVEL_OXA_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  file(GLOB OXA_VERIFY_TEST_SOURCES CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_LIST_DIR}/../tests/cpp/verify/*_test.cpp)
  add_executable(oxa_verify_tests ${OXA_VERIFY_TEST_SOURCES})
  target_include_directories(oxa_verify_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../tests/cpp)
  # The checks against checkpoints are tested on what the notary seals.
  target_link_libraries(oxa_verify_tests PRIVATE oxa_verify_core oxa_notary ZLIB::ZLIB GTest::gtest GTest::gtest_main)
  gtest_discover_tests(oxa_verify_tests DISCOVERY_TIMEOUT 60)
endif()

if(TVEL_OXA_BUILD_MODULE)
  file(GLOB OXA_VERIFY_MODULE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../src/verify_module/*.cpp)
  python_add_library(oxa_verify_native MODULE WITH_SOABI USE_SABI 3.9 ${OXA_VERIFY_MODULE_SOURCES})
  set_target_properties(oxa_verify_native PROPERTIES OUTPUT_NAME _native)
  target_link_libraries(oxa_verify_native PRIVATE oxa_verify_core)
  # PyInit__native is the only symbol it exports.
  target_link_options(oxa_verify_native PRIVATE
    -Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/verify_exports.map
    -Wl,--exclude-libs,ALL -Wl,--no-undefined-version)
  set_property(TARGET oxa_verify_native APPEND PROPERTY LINK_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/verify_exports.map)
  oxa_python_extension(oxa_verify_native)
  install(TARGETS oxa_verify_native LIBRARY DESTINATION oxa_verify)
endif()

# The fuzz target, in a build of its own configured with clang: every library
# it links is compiled with AddressSanitizer and UndefinedBehaviorSanitizer.
option(TVEL_OXA_BUILD_FUZZ "Build the verifier's libFuzzer target (clang only)" OFF)
if(TVEL_OXA_BUILD_FUZZ)
  set(_oxa_sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  foreach(_target oxa_core oxa_tlog oxa_logread oxa_verify_core oxa_blake3)
    if(TARGET ${_target})
      target_compile_options(${_target} PRIVATE ${_oxa_sanitizers} -fsanitize=fuzzer-no-link)
    endif()
  endforeach()
  add_executable(verify_fuzz ${CMAKE_CURRENT_LIST_DIR}/../tests/fuzz/verify_fuzz.cpp)
  target_compile_options(verify_fuzz PRIVATE ${_oxa_sanitizers} -fsanitize=fuzzer)
  target_link_options(verify_fuzz PRIVATE ${_oxa_sanitizers} -fsanitize=fuzzer)
  target_link_libraries(verify_fuzz PRIVATE oxa_verify_core)
endif()
