# Stands in for CMake's FindGTest when GoogleTest is built from Debian's
# source package inside this build (cross and sanitizer builds): the targets
# GTest::gtest, GTest::gtest_main and GTest::gmock already exist, made by AtGoogleTest.cmake.
if(NOT TARGET GTest::gtest OR NOT TARGET GTest::gtest_main OR NOT TARGET GTest::gmock)
  message(FATAL_ERROR "GoogleTest from source: targets missing; include AtGoogleTest first")
endif()
set(GTest_FOUND TRUE)
set(GTEST_FOUND TRUE)
set(GTEST_LIBRARIES GTest::gtest)
set(GTEST_MAIN_LIBRARIES GTest::gtest_main)
set(GTEST_BOTH_LIBRARIES GTest::gtest GTest::gtest_main)
