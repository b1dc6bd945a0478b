# A layer of plain C++ below the Python glue: the static library oxa_<name>
# from src/<name>/*.cpp, linked PUBLIC to the layers below it only (PRIVATE to
# what only its sources use), and with tests the executable oxa_<name>_tests
# from tests/cpp/<name>/*_test.cpp (TEST_LIBRARIES: what only the tests use).
function(oxa_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 _arg "" "" "PUBLIC;PRIVATE;TEST_LIBRARIES")
  set(_root ${PROJECT_SOURCE_DIR})
  file(GLOB _sources CONFIGURE_DEPENDS ${_root}/src/${name}/*.cpp)
  add_library(oxa_${name} STATIC ${_sources})
  target_include_directories(oxa_${name} PUBLIC ${_root}/src)
  target_link_libraries(oxa_${name} PUBLIC ${_arg_PUBLIC} PRIVATE ${_arg_PRIVATE})

  if(TVEL_OXA_BUILD_TESTS)
    file(GLOB _tests CONFIGURE_DEPENDS ${_root}/tests/cpp/${name}/*_test.cpp)
    if(_tests)
      enable_testing()
      find_package(GTest REQUIRED)
      include(GoogleTest)
      add_executable(oxa_${name}_tests ${_tests})
      target_include_directories(oxa_${name}_tests PRIVATE ${_root}/tests/cpp)
      target_link_libraries(oxa_${name}_tests PRIVATE oxa_${name} ${_arg_TEST_LIBRARIES} GTest::gtest GTest::gtest_main)
      gtest_discover_tests(oxa_${name}_tests DISCOVERY_TIMEOUT 60)
    endif()
  endif()
endfunction()
