# Install test: cmake --install into a temporary prefix, then a host project
# finds the package with find_package and with pkg-config, builds and runs.
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
