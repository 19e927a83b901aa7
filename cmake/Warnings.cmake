# Every target of ours builds warning-free on GCC and Clang (`make clang`
# builds them all with Clang). VELMOR_WERROR=OFF keeps the warnings but lets
# them pass: the Debian package builds so, since a later compiler or Qt may
# bring a harmless new one.
# Clang also checks the locks: -Wthread-safety reads the annotations of
# platform/Mutex.h (which fields a lock guards, which locks a function needs
# or must not hold). GCC has no such analysis; the annotations are empty there.
option(VELMOR_WERROR "Treat warnings as errors" ON)
function(velmor_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety)
  endif()
  if(VELMOR_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
