# Where GoogleTest comes from. A host build links Debian's prebuilt libgtest.
# A cross build needs GoogleTest compiled for the target, and a sanitizer
# build is more trustworthy with GoogleTest compiled with the same
# instrumentation (TSan sees the locks inside it), so both compile it from
# Debian's source package (googletest, /usr/src/googletest).
set(_at_gtest_default OFF)
if(CMAKE_CROSSCOMPILING OR AT_SANITIZE)
  set(_at_gtest_default ON)
endif()
option(AT_GTEST_FROM_SOURCE "Build GoogleTest from its source package" ${_at_gtest_default})
set(AT_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest source tree")

if(AT_BUILD_TESTS AND AT_GTEST_FROM_SOURCE)
  if(NOT EXISTS ${AT_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources at ${AT_GTEST_SOURCE_DIR}: run scripts/setup.sh")
  endif()
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${AT_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest 1.11 and later name their targets GTest::gtest and
  # GTest::gtest_main themselves; older trees do not.
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
  if(NOT TARGET GTest::gmock)
    add_library(GTest::gmock ALIAS gmock)
  endif()
  # tests/ asks find_package(GTest); answer it with the targets above.
  list(PREPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR}/gtest-from-source)
endif()
