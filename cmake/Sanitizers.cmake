# TVEL_OXA_SANITIZE=ON builds everything (the core, BLAKE3, the tests, the
# module) with AddressSanitizer and UndefinedBehaviorSanitizer. Every report
# is fatal, so that a test run with one fails. Never for a release: the
# module then needs the sanitizer runtime preloaded into the interpreter.
# -O1 (after the build type's flags, so it wins): the reports stay precise and
# the instrumented build takes a fraction of the optimiser's time.
option(TVEL_OXA_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(TVEL_OXA_SANITIZE)
  set(_oxa_sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all)
  add_compile_options(
    "$<$<COMPILE_LANGUAGE:C,CXX>:${_oxa_sanitizers};-fno-omit-frame-pointer;-g;-O1>")
  add_link_options(${_oxa_sanitizers})
endif()
