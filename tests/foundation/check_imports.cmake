# Compares the names that the product imports (its undefined dynamic symbols)
# with what it may take from elsewhere, and lists every other name:
#   - libc, libm, libpthread and the C++ run time (libstdc++, libgcc), known
#     by their symbol versions;
#   - the Android log's __android_log_* functions;
#   - what the providers define, read from them: the OS-services library and,
#     in a sanitizer build, the sanitizer run times, whose interceptors stand
#     in for many libc functions without a symbol version;
#   - the platform's __assert2 and bsd_signal, which must both be imports.
#
#   cmake -DNM=<nm> -DLIB=<libat_stubs.so>
#         -DPROVIDERS=<libkovacutils.so>[:<more libraries>] -P check_imports.cmake
cmake_minimum_required(VERSION 3.18)
foreach(var NM LIB PROVIDERS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_imports: ${var} is not set")
  endif()
endforeach()

# The names of one nm listing; "name[@version]" per line with --format=posix.
function(nm_names out)
  execute_process(COMMAND ${NM} -D ${ARGN} --format=posix
                  OUTPUT_VARIABLE text RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "check_imports: ${NM} failed: ${err}")
  endif()
  string(REPLACE "\n" ";" lines "${text}")
  set(names)
  foreach(line IN LISTS lines)
    if(line MATCHES "^([^ ]+) ([A-Za-z]) ")
      list(APPEND names "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
    endif()
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

string(REPLACE ":" ";" providers "${PROVIDERS}")
set(provided)
foreach(provider IN LISTS providers)
  nm_names(entries --defined-only ${provider})
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "[@ ].*" "" name "${entry}")
    list(APPEND provided ${name})
  endforeach()
endforeach()

nm_names(imports --undefined-only ${LIB})
set(platform_names __assert2 bsd_signal)
set(seen_platform)
set(unexpected)
foreach(entry IN LISTS imports)
  string(REGEX REPLACE " .*" "" symbol "${entry}")
  string(REGEX REPLACE "@.*" "" name "${symbol}")
  string(REGEX REPLACE ".* " "" type "${entry}")
  if(name IN_LIST platform_names)
    list(APPEND seen_platform ${name})
  elseif(symbol MATCHES "@@?(GLIBC|GLIBCXX|CXXABI|GCC)_[0-9.]+$")
  elseif(name MATCHES "^__android_log_")
  elseif(name IN_LIST provided)
  elseif(type STREQUAL "w" AND name MATCHES "^(__gmon_start__|_ITM_(de)?registerTMCloneTable)$")
    # Weak references of the C run time's start files, resolved or not.
  else()
    list(APPEND unexpected "${symbol}")
  endif()
endforeach()

set(missing ${platform_names})
if(seen_platform)
  list(REMOVE_ITEM missing ${seen_platform})
endif()
list(LENGTH imports n_imports)
message(STATUS "imports: ${n_imports}")
if(unexpected)
  list(SORT unexpected)
  string(REPLACE ";" "\n  " text "${unexpected}")
  message(STATUS "imports from no known library:\n  ${text}")
endif()
if(missing)
  string(REPLACE ";" " " text "${missing}")
  message(STATUS "not imported (the platform must provide them): ${text}")
endif()
if(unexpected OR missing)
  message(FATAL_ERROR "the imports of ${LIB} differ from what the platform provides")
endif()
