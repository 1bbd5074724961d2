# Install test: cmake --install into a temporary prefix, then a host project
# finds the package with find_package and with pkg-config, builds and runs.
#
# Only in a native build without sanitizers: the consumer is an ordinary host
# program, which cannot load a sanitized library (the sanitizer's run time must
# come first) and cannot run a cross build's library. The host gate checks
# the packaging; the other gates check the code.
if(CMAKE_CROSSCOMPILING OR AT_SANITIZE)
  return()
endif()
include(GNUInstallDirs)
add_test(NAME install_consumer
  COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${CMAKE_BINARY_DIR}
    -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/install-test
    -DCONSUMER_DIR=${CMAKE_CURRENT_LIST_DIR}/consumer
    -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
    -DC_COMPILER=${CMAKE_C_COMPILER}
    -P ${CMAKE_CURRENT_LIST_DIR}/run_install_test.cmake)
set_tests_properties(install_consumer PROPERTIES LABELS install TIMEOUT 300)
