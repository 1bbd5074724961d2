# Compares the names that a shared library exports with a checked-in list and
# reports both the names that are missing and those that should not be there.
#
#   cmake -DNM=<nm> -DLIB=<libat_stubs.so> -DEXPECTED=<list file>
#         [-DALLOW_MISSING=ON] -P check_exports.cmake
#
# ALLOW_MISSING reports missing names without failing, for a tree in which
# some modules have not landed yet; unexpected names fail in any case.
foreach(var NM LIB EXPECTED)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_exports: ${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${NM} -D --defined-only --format=posix ${LIB}
                OUTPUT_VARIABLE nm_out RESULT_VARIABLE nm_rc ERROR_VARIABLE nm_err)
if(NOT nm_rc EQUAL 0)
  message(FATAL_ERROR "check_exports: ${NM} failed on ${LIB}: ${nm_err}")
endif()

# One "name type value size" line per symbol; a versioned name carries
# "@VERSION" behind it, which is not part of the name.
set(actual)
string(REPLACE "\n" ";" nm_lines "${nm_out}")
foreach(line IN LISTS nm_lines)
  if(line MATCHES "^([^ @]+)(@[^ ]*)? ")
    list(APPEND actual ${CMAKE_MATCH_1})
  endif()
endforeach()
list(REMOVE_DUPLICATES actual)

file(STRINGS ${EXPECTED} expected REGEX "^[^#]")
list(REMOVE_DUPLICATES expected)

set(missing ${expected})
list(REMOVE_ITEM missing ${actual})
set(unexpected ${actual})
list(REMOVE_ITEM unexpected ${expected})
list(SORT missing)
list(SORT unexpected)

list(LENGTH expected n_expected)
list(LENGTH actual n_actual)
list(LENGTH missing n_missing)
list(LENGTH unexpected n_unexpected)
message(STATUS "exports: ${n_actual} found, ${n_expected} expected")
if(n_missing GREATER 0)
  string(REPLACE ";" "\n  " text "${missing}")
  message(STATUS "missing (${n_missing}):\n  ${text}")
endif()
if(n_unexpected GREATER 0)
  string(REPLACE ";" "\n  " text "${unexpected}")
  message(STATUS "unexpected (${n_unexpected}):\n  ${text}")
endif()
if(n_unexpected GREATER 0 OR (n_missing GREATER 0 AND NOT ALLOW_MISSING))
  message(FATAL_ERROR "the exported names differ from ${EXPECTED}")
endif()
