# The Android logging API from Debian's android-liblog-dev: the header lives in
# an android/ subfolder of the include folder, the library in an android/
# subfolder of the multiarch library folder.
find_path(ANDROID_LOG_INCLUDE_DIR android/log.h PATH_SUFFIXES android REQUIRED)
set(_at_log_hints)
if(CMAKE_LIBRARY_ARCHITECTURE)
  list(APPEND _at_log_hints /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/android)
endif()
find_library(ANDROID_LOG_LIBRARY NAMES log HINTS ${_at_log_hints} PATH_SUFFIXES android REQUIRED)
if(NOT TARGET android::log)
  add_library(android::log UNKNOWN IMPORTED)
  set_target_properties(android::log PROPERTIES
    IMPORTED_LOCATION ${ANDROID_LOG_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${ANDROID_LOG_INCLUDE_DIR})
endif()
message(STATUS "Android log: ${ANDROID_LOG_LIBRARY} (${ANDROID_LOG_INCLUDE_DIR})")
