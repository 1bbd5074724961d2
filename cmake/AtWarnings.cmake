# Warning sets. The library code keeps the strict set clean; tests and tools
# use the common one. AT_WERROR (on in CI) makes every warning an error.
set(AT_COMMON_WARNINGS -Wall -Wextra -Wshadow -Wformat=2 -Wundef)
set(AT_STRICT_WARNINGS ${AT_COMMON_WARNINGS} -Wconversion -Wcast-align -Wmissing-declarations
    -Wnull-dereference -Wduplicated-cond -Wlogical-op)

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
