# The transparency formats below the verifier and the notary: the RFC 6962
# tree and its proofs, and its tiles. Plain C++ over OpenSSL's SHA-256.
file(GLOB OXA_TLOG_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../src/tlog/*.cpp)
add_library(oxa_tlog STATIC ${OXA_TLOG_SOURCES})
target_include_directories(oxa_tlog PUBLIC ${CMAKE_CURRENT_LIST_DIR}/../src)
target_link_libraries(oxa_tlog PUBLIC oxa_core OpenSSL::Crypto)

if(TVEL_OXA_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  file(GLOB OXA_TLOG_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../tests/cpp/tlog/*_test.cpp)
  if(OXA_TLOG_TEST_SOURCES)
    add_executable(oxa_tlog_tests ${OXA_TLOG_TEST_SOURCES})
    target_include_directories(oxa_tlog_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../tests/cpp)
    target_link_libraries(oxa_tlog_tests PRIVATE oxa_tlog GTest::gtest GTest::gtest_main)
    gtest_discover_tests(oxa_tlog_tests DISCOVERY_TIMEOUT 60)
  endif()
endif()

