# Checks of the library as a whole: the exported names, and the public
# headers compiled as C.

# The exported names. The list is that of the finished library; while a module
# is still missing, configure with -DAT_EXPECT_FULL_API=OFF to have missing
# names reported without failing (unexpected names always fail).
option(AT_EXPECT_FULL_API "Fail the export check when an exported name is missing" ON)
if(AT_EXPECT_FULL_API)
  set(_at_allow_missing OFF)
else()
  set(_at_allow_missing ON)
endif()
add_test(NAME foundation.exported_symbols
  COMMAND ${CMAKE_COMMAND}
    -DNM=${CMAKE_NM}
    -DLIB=$<TARGET_FILE:at_stubs>
    -DEXPECTED=${CMAKE_CURRENT_LIST_DIR}/exported_symbols.txt
    -DALLOW_MISSING=${_at_allow_missing}
    -P ${CMAKE_CURRENT_LIST_DIR}/check_exports.cmake)
set_tests_properties(foundation.exported_symbols PROPERTIES LABELS foundation TIMEOUT ${AT_TEST_TIMEOUT})

# Every public header in one C11 translation unit, linked with the shared
# library as a C host would be.
add_executable(foundation_all_headers ${CMAKE_CURRENT_LIST_DIR}/all_headers.c)
set_target_properties(foundation_all_headers PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_include_directories(foundation_all_headers PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(foundation_all_headers PRIVATE -Wall -Wextra -Werror -pedantic)
target_link_libraries(foundation_all_headers PRIVATE at_stubs)
add_test(NAME foundation.all_headers_c COMMAND foundation_all_headers)
set_tests_properties(foundation.all_headers_c PROPERTIES LABELS foundation TIMEOUT ${AT_TEST_TIMEOUT})

# What the product imports: every undefined dynamic name must come from libc,
# the C++ run time, the Android log, the OS-services library or the platform
# (__assert2, bsd_signal, both imported), and the host's shim exports
# __assert2 alone.
set(_at_providers $<TARGET_FILE:kovacutils>)
if(AT_SANITIZE STREQUAL "address")
  set(_at_runtimes libasan.so libubsan.so)
elseif(AT_SANITIZE STREQUAL "thread")
  set(_at_runtimes libtsan.so)
endif()
foreach(runtime IN LISTS _at_runtimes)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                  OUTPUT_VARIABLE _at_path OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(APPEND _at_providers ":${_at_path}")
endforeach()
add_test(NAME foundation.imported_symbols
  COMMAND ${CMAKE_COMMAND}
    -DNM=${CMAKE_NM}
    -DLIB=$<TARGET_FILE:at_stubs>
    -DPROVIDERS=${_at_providers}
    -P ${CMAKE_CURRENT_LIST_DIR}/check_imports.cmake)
add_test(NAME foundation.shim_exported_symbols
  COMMAND ${CMAKE_COMMAND}
    -DNM=${CMAKE_NM}
    -DLIB=$<TARGET_FILE:bionic_shim>
    -DEXPECTED=${CMAKE_CURRENT_LIST_DIR}/shim_exported_symbols.txt
    -P ${CMAKE_CURRENT_LIST_DIR}/check_exports.cmake)

# A host's own __assert2 gets the library's fatal assertions.
add_executable(foundation_host_assert ${CMAKE_CURRENT_LIST_DIR}/host_assert.c)
set_target_properties(foundation_host_assert PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_include_directories(foundation_host_assert PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(foundation_host_assert PRIVATE -Wall -Wextra -Werror)
target_link_libraries(foundation_host_assert PRIVATE at_stubs)
add_test(NAME foundation.host_assert COMMAND foundation_host_assert)
set_tests_properties(foundation.imported_symbols foundation.shim_exported_symbols foundation.host_assert
  PROPERTIES LABELS foundation TIMEOUT ${AT_TEST_TIMEOUT})

# Android.bp builds the library on the platform; it must compile the same
# sources and export through the same version script. CMake's side is written
# here at configure time from the library's own source list (the folders'
# globs, which re-run configure when a file comes or goes) and link options.
set(_at_build_list "")
foreach(src IN LISTS AT_LIBRARY_SOURCES)
  file(RELATIVE_PATH _at_rel ${CMAKE_SOURCE_DIR} ${src})
  string(APPEND _at_build_list "src ${_at_rel}\n")
endforeach()
get_target_property(_at_link_options at_stubs LINK_OPTIONS)
foreach(option IN LISTS _at_link_options)
  if(option MATCHES "^-Wl,--version-script=(.+)$")
    file(RELATIVE_PATH _at_rel ${CMAKE_SOURCE_DIR} ${CMAKE_MATCH_1})
    string(APPEND _at_build_list "version_script ${_at_rel}\n")
  endif()
endforeach()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/at_stubs_build_list.txt "${_at_build_list}")
add_test(NAME foundation.android_bp
  COMMAND ${CMAKE_COMMAND} -DBP=${CMAKE_SOURCE_DIR}/Android.bp
    -DBUILD_LIST=${CMAKE_CURRENT_BINARY_DIR}/at_stubs_build_list.txt
    -P ${CMAKE_CURRENT_LIST_DIR}/check_android_bp.cmake)
set_tests_properties(foundation.android_bp PROPERTIES LABELS foundation TIMEOUT ${AT_TEST_TIMEOUT})
