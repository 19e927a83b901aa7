# Every target of ours builds warning-free on GCC and Clang (`make clang`
# builds them all with Clang). VELMOR_WERROR=OFF keeps the warnings but lets
# them pass: the Debian package builds so, since a later compiler or Qt may
# bring a harmless new one.
option(VELMOR_WERROR "Treat warnings as errors" ON)
function(velmor_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(VELMOR_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
