# VELMOR_FUZZ=ON (clang only): every target gets libFuzzer's coverage
# instrumentation with ASan+UBSan, and fuzz/ builds the fuzzers. Set by
# `make fuzz`; such a build directory is for the fuzzers alone.
option(VELMOR_FUZZ "Build the libFuzzer targets (clang)" OFF)
if(VELMOR_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VELMOR_FUZZ needs clang (CXX=clang++)")
  endif()
  if(NOT VELMOR_SANITIZE STREQUAL "")
    message(FATAL_ERROR "VELMOR_FUZZ brings its own sanitizers; leave VELMOR_SANITIZE empty")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
