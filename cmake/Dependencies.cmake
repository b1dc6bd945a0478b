# libsodium (Ed25519) and BLAKE3, each as an imported target oxa::sodium and
# oxa::blake3, and simdjson and zlib for the log verifier. These are what a
# build from source needs besides a C++20 compiler and Python; when any is
# missing the build stops with one message that names them all and says which
# are absent.

set(_oxa_needs_message
  "Building tvel_oxa from source needs libsodium with its headers "
  "(Debian and Ubuntu: apt-get install libsodium-dev), the BLAKE3 reference C sources "
  "(Debian and Ubuntu: apt-get install librust-blake3-dev, or elsewhere point BLAKE3_C_DIR at a "
  "directory holding blake3.h and blake3.c, for pip with "
  "--config-settings=cmake.define.BLAKE3_C_DIR=/path/to/c), and for the log verifier simdjson "
  "(libsimdjson-dev) and zlib (zlib1g-dev), and for the notary's tree OpenSSL's libcrypto (libssl-dev). 'make test' installs them all on Debian 12.")

# The static library is preferred: the shared one of recent distributions asks
# for newer glibc symbols (Debian 12's for fstat@GLIBC_2.33) than the wheel's floor.
find_path(SODIUM_INCLUDE_DIR sodium.h)
find_library(SODIUM_LIBRARY NAMES libsodium.a sodium)
set(_oxa_missing)
if(NOT SODIUM_INCLUDE_DIR OR NOT SODIUM_LIBRARY)
  list(APPEND _oxa_missing "libsodium")
endif()
add_library(oxa::sodium UNKNOWN IMPORTED)
set_target_properties(oxa::sodium PROPERTIES
  IMPORTED_LOCATION ${SODIUM_LIBRARY}
  INTERFACE_INCLUDE_DIRECTORIES ${SODIUM_INCLUDE_DIR})

# A system BLAKE3 package is preferred; otherwise the reference C sources that
# Debian installs with librust-blake3-dev are built into a static library.
find_package(BLAKE3 CONFIG QUIET)
if(TARGET BLAKE3::blake3)
  add_library(oxa::blake3 ALIAS BLAKE3::blake3)
else()
  if(NOT BLAKE3_C_DIR)
    file(GLOB _blake3_dirs /usr/share/cargo/registry/blake3-*/c)
    if(_blake3_dirs)
      list(SORT _blake3_dirs COMPARE NATURAL ORDER DESCENDING)
      list(GET _blake3_dirs 0 _blake3_dir)
      set(BLAKE3_C_DIR "${_blake3_dir}" CACHE PATH "Directory of the BLAKE3 reference C sources")
    endif()
  endif()
  if(NOT BLAKE3_C_DIR OR NOT EXISTS "${BLAKE3_C_DIR}/blake3.h")
    list(APPEND _oxa_missing "the BLAKE3 C sources")
  endif()
  set(_blake3_sources
    ${BLAKE3_C_DIR}/blake3.c ${BLAKE3_C_DIR}/blake3_dispatch.c ${BLAKE3_C_DIR}/blake3_portable.c)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|amd64")
    list(APPEND _blake3_sources
      ${BLAKE3_C_DIR}/blake3_sse2_x86-64_unix.S ${BLAKE3_C_DIR}/blake3_sse41_x86-64_unix.S
      ${BLAKE3_C_DIR}/blake3_avx2_x86-64_unix.S ${BLAKE3_C_DIR}/blake3_avx512_x86-64_unix.S)
    set(_blake3_defs)
  else()
    set(_blake3_defs BLAKE3_NO_SSE2 BLAKE3_NO_SSE41 BLAKE3_NO_AVX2 BLAKE3_NO_AVX512 BLAKE3_USE_NEON=0)
  endif()
  add_library(oxa_blake3 STATIC ${_blake3_sources})
  set_target_properties(oxa_blake3 PROPERTIES POSITION_INDEPENDENT_CODE ON C_VISIBILITY_PRESET hidden)
  target_compile_definitions(oxa_blake3 PRIVATE ${_blake3_defs})
  target_include_directories(oxa_blake3 SYSTEM PUBLIC ${BLAKE3_C_DIR})
  add_library(oxa::blake3 ALIAS oxa_blake3)
endif()

find_package(simdjson CONFIG QUIET)
if(NOT TARGET simdjson::simdjson)
  list(APPEND _oxa_missing "simdjson")
endif()
find_package(ZLIB QUIET)
if(NOT ZLIB_FOUND)
  list(APPEND _oxa_missing "zlib")
endif()

# SHA-256 of the notary's tree through OpenSSL's libcrypto, which picks the
# CPU's SHA instructions at run time. The static library is preferred, so that
# the wheel carries only the SHA-256 code it uses and needs nothing beside it.
set(OPENSSL_USE_STATIC_LIBS TRUE)
find_package(OpenSSL QUIET COMPONENTS Crypto)
if(NOT TARGET OpenSSL::Crypto)
  unset(OPENSSL_USE_STATIC_LIBS)
  find_package(OpenSSL QUIET COMPONENTS Crypto)
endif()
if(NOT TARGET OpenSSL::Crypto)
  list(APPEND _oxa_missing "OpenSSL's libcrypto")
endif()

if(_oxa_missing)
  list(JOIN _oxa_missing ", " _oxa_missing_text)
  message(FATAL_ERROR ${_oxa_needs_message} " Not found here: ${_oxa_missing_text}.")
endif()
