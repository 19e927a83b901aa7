# Every target of ours builds warning-free on GCC and Clang (`make clang`
# builds them all with Clang).
function(velmor_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
endfunction()
