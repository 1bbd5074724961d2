# Warning sets. The library code keeps the strict set clean; tests and tools
# use the common one. AT_WERROR (on in CI) makes every warning an error.
set(AT_COMMON_WARNINGS -Wall -Wextra -Wshadow -Wformat=2 -Wundef)
set(AT_STRICT_WARNINGS ${AT_COMMON_WARNINGS} -Wconversion -Wcast-align -Wmissing-declarations
    -Wnull-dereference)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # The device's compiler. It checks the lock annotations of the library
  # (capabilities, guarded fields, required and excluded locks), so a lock
  # taken in the wrong place is a build error rather than a rare hang. The
  # two gcc-only warnings below are unknown to it.
  list(APPEND AT_STRICT_WARNINGS -Wthread-safety)
else()
  list(APPEND AT_STRICT_WARNINGS -Wduplicated-cond -Wlogical-op)
endif()
function(at_set_library_warnings target)
  target_compile_options(${target} PRIVATE ${AT_STRICT_WARNINGS})
  if(AT_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

function(at_set_common_warnings target)
  target_compile_options(${target} PRIVATE ${AT_COMMON_WARNINGS})
  if(AT_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
