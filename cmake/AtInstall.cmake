# Install rules: the product (libat_stubs.so), the OS-services library it
# needs (on a host, our stand-in libkovacutils.so), the host's shim for what
# only Android's libc has (libbionic_shim.so, __assert2), the public headers, a
# CMake package (find_package(at_stubs) -> at_stubs::at_stubs) and a
# pkg-config file (at_stubs.pc).
#
# Headers go under include/at_stubs/ with the source tree's folders kept, so
# the headers' own relative includes ("../osal/kova_types.h") resolve; a host
# includes them as "serialmgr/serialmgr.h", the same as inside this tree.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(AT_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/at_stubs)
set(AT_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/at_stubs)

# Public headers: every header of the library folders except the internal
# ones (tables that only the library and its tests see), the library's own
# log macros and the reader threads' signal helpers.
foreach(dir IN ITEMS osal ${AT_LIBRARY_DIRS})
  file(GLOB _at_headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.h)
  list(FILTER _at_headers EXCLUDE REGEX "(_internal|/at_log|/at_mutex|/signal_wait|/reader_signal|/reader_life|/sync)\\.h$")
  if(_at_headers)
    install(FILES ${_at_headers} DESTINATION ${AT_INSTALL_INCLUDEDIR}/${dir} COMPONENT devel)
  endif()
endforeach()
# The host stand-in's extras (live-object counts, log hooks) sit beside the
# OS-services header they include.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/platform/kovacutils/kovacutils_host.h
        DESTINATION ${AT_INSTALL_INCLUDEDIR}/osal COMPONENT devel)

target_include_directories(at_stubs INTERFACE $<INSTALL_INTERFACE:${AT_INSTALL_INCLUDEDIR}>)
target_include_directories(kovacutils INTERFACE $<INSTALL_INTERFACE:${AT_INSTALL_INCLUDEDIR}/osal>)

# Where the installed library finds what it needs at run time: libkovacutils
# and libbionic_shim beside itself ($ORIGIN, whatever the prefix), and liblog
# where it was found at build time. Debian keeps liblog in an android/
# subfolder of the multiarch folder, which the dynamic loader does not search;
# a library the loader finds anyway (a system folder, or a device's
# /system/lib) needs no entry.
get_filename_component(AT_LOG_LIBRARY_DIR ${ANDROID_LOG_LIBRARY} DIRECTORY)
set(_at_rpath "$ORIGIN")
if(NOT AT_LOG_LIBRARY_DIR IN_LIST CMAKE_C_IMPLICIT_LINK_DIRECTORIES)
  list(APPEND _at_rpath ${AT_LOG_LIBRARY_DIR})
endif()
# The shim logs too, and a loader looks for a library's dependencies in that
# library's own run path only.
set_target_properties(at_stubs bionic_shim PROPERTIES INSTALL_RPATH "${_at_rpath}")

install(TARGETS at_stubs kovacutils bionic_shim EXPORT at_stubsTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT devel
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(EXPORT at_stubsTargets NAMESPACE at_stubs:: FILE at_stubsTargets.cmake
        DESTINATION ${AT_INSTALL_CMAKEDIR} COMPONENT devel)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/install/at_stubsConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/at_stubsConfig.cmake
  INSTALL_DESTINATION ${AT_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/at_stubsConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/at_stubsConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/at_stubsConfigVersion.cmake
        DESTINATION ${AT_INSTALL_CMAKEDIR} COMPONENT devel)

# The .pc file locates the prefix from its own place, so the package can be
# installed under any prefix (cmake --install --prefix) and still be right.
if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR})
  set(AT_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
  file(RELATIVE_PATH _at_pc_up /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
  string(REGEX REPLACE "/$" "" _at_pc_up "${_at_pc_up}")
  set(AT_PC_PREFIX "\${pcfiledir}/${_at_pc_up}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/install/at_stubs.pc.in ${CMAKE_CURRENT_BINARY_DIR}/at_stubs.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/at_stubs.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT devel)
