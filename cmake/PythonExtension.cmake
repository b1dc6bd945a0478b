# oxa_python_extension(<target>): the link settings that every Python extension
# of this project needs so that one wheel loads on any Linux with glibc
# OXA_GLIBC_FLOOR or newer (manylinux_2_28 for the default):
#
# - libstdc++ is linked in statically (its symbol versions follow the compiler,
#   not the distribution); libgcc stays the shared libgcc_s.so.1, whose old
#   GCC_3.x/4.x versions every glibc system carries, so that the process keeps
#   one unwinder (the static one would need _dl_find_object, glibc 2.35);
# - references to glibc functions whose default version is newer than the
#   floor but that glibc still exports at an old version are sent, through
#   --wrap, to trampolines bound to that old version (cmake/glibc_floor/pins.py);
# - the few symbols of the static libstdc++ and libsodium that have no old
#   version get local stand-ins (cmake/glibc_floor/replacements.c);
# - libpthread.so.0 is named as needed, since before glibc 2.34 the pinned
#   pthread functions live there rather than in libc.so.6.
#
# A symbol that none of these covers shows up in the wheel check
# (tests/wheel/wheel_floor.py), which names it and the library it comes from.
# The project must enable the C and ASM languages (the trampolines are
# assembly, the stand-ins C). A new extension takes the settings with one line
# after it is made:
#   python_add_library(_native MODULE WITH_SOABI USE_SABI 3.9 ...)
#   oxa_python_extension(_native)
include_guard(GLOBAL)

set(OXA_GLIBC_FLOOR "2.28" CACHE STRING "Newest glibc symbol version the Python extensions may need")

function(_oxa_glibc_floor_objects)
  if(TARGET oxa_glibc_floor)
    return()
  endif()
  if(CMAKE_READELF)
    set(OXA_READELF ${CMAKE_READELF})
  else()
    find_program(OXA_READELF NAMES readelf)
  endif()
  if(NOT Python_EXECUTABLE)
    find_package(Python 3.9 REQUIRED COMPONENTS Interpreter)
  endif()
  set(_libraries)
  foreach(_name libc.so.6 libm.so.6)
    execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=${_name}
      OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(IS_ABSOLUTE "${_path}" AND EXISTS "${_path}")
      list(APPEND _libraries "${_path}")
    endif()
  endforeach()
  # Without glibc (musl, for instance) there is nothing to pin: the build is
  # then for the machine it runs on.
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libpthread.so.0
    OUTPUT_VARIABLE _libpthread OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _libraries OR NOT IS_ABSOLUTE "${_libpthread}" OR NOT OXA_READELF)
    message(STATUS "No glibc or no readelf here: the Python extensions get no glibc version pins")
    set(OXA_GLIBC_FLOOR_WRAP "" CACHE INTERNAL "")
    add_library(oxa_glibc_floor INTERFACE)
    return()
  endif()
  get_property(_languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  if(NOT "ASM" IN_LIST _languages OR NOT "C" IN_LIST _languages)
    message(FATAL_ERROR "oxa_python_extension needs the C and ASM languages: project(... C CXX ASM)")
  endif()
  set(_out ${CMAKE_BINARY_DIR}/glibc_floor)
  set(_pins_script ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/glibc_floor/pins.py)
  execute_process(
    COMMAND ${Python_EXECUTABLE} ${_pins_script} ${OXA_READELF} ${OXA_GLIBC_FLOOR} ${_out}
      ${CMAKE_SYSTEM_PROCESSOR} ${_libraries}
    RESULT_VARIABLE _result)
  if(NOT _result EQUAL 0)
    message(FATAL_ERROR "cmake/glibc_floor/pins.py failed (${_result})")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_pins_script} ${_libraries})
  add_library(oxa_glibc_floor OBJECT
    ${_out}/pins.S ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/glibc_floor/replacements.c)
  target_compile_options(oxa_glibc_floor PRIVATE $<$<COMPILE_LANGUAGE:C>:-ffunction-sections -fdata-sections>)
  set_target_properties(oxa_glibc_floor PROPERTIES POSITION_INDEPENDENT_CODE ON)
  set(OXA_GLIBC_FLOOR_WRAP ${_out}/wrap.rsp CACHE INTERNAL "")
endfunction()

function(oxa_python_extension target)
  # A sanitized build runs only here, with the sanitizer runtime and the shared
  # libstdc++ preloaded into the interpreter: no pins, no static libstdc++.
  if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux" OR TVEL_OXA_SANITIZE)
    return()
  endif()
  _oxa_glibc_floor_objects()
  if(OXA_GLIBC_FLOOR_WRAP)
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:oxa_glibc_floor>)
    target_link_options(${target} PRIVATE
      "LINKER:@${OXA_GLIBC_FLOOR_WRAP}" "LINKER:--gc-sections"
      "LINKER:--push-state,--no-as-needed,-l:libpthread.so.0,--pop-state")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${OXA_GLIBC_FLOOR_WRAP})
  endif()
  # A system without a static libstdc++ (some distributions package it apart)
  # still builds from source, for use on that machine only.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++.a
    OUTPUT_VARIABLE _static_libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${_static_libstdcxx}" AND EXISTS "${_static_libstdcxx}")
    target_link_options(${target} PRIVATE -static-libstdc++)
  else()
    message(STATUS "No static libstdc++ here: ${target} links the shared one and needs it where it runs")
  endif()
endfunction()
