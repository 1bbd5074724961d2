# Real AT clients end to end: ppp's chat and pyserial on the demo host's USB tty and UART (ptys at
# /dev/ttyGS0 and /dev/ttyS0 in a private mount namespace, tests/e2e/tty_namespace.cpp), socat on its UDP
# channel 0. The clients are the build machine's programs, so a cross build leaves these out.
if(AT_BUILD_EXAMPLES AND NOT CMAKE_CROSSCOMPILING)
  # Debian's interpreter, whatever else is first on PATH: python3-serial is installed for it.
  find_program(AT_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
  add_executable(e2e_tty_namespace ${CMAKE_CURRENT_LIST_DIR}/tty_namespace.cpp)
  target_link_libraries(e2e_tty_namespace PRIVATE at_test_support)
  at_set_common_warnings(e2e_tty_namespace)
  set(_at_clients ${AT_SYSTEM_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/at_clients.py)
  # Ports of their own, apart from the demo's, so that the three may run at once.
  set(_at_port 17162)
  foreach(client chat pyserial)
    add_test(NAME e2e.${client}
      COMMAND e2e_tty_namespace "console=ttyS0,115200n8" ${_at_clients} ${client} ${PROJECT_VERSION} ${_at_port}
              $<TARGET_FILE:at_host>)
    math(EXPR _at_port "${_at_port} + 2")
  endforeach()
  add_test(NAME e2e.socat COMMAND ${_at_clients} socat ${PROJECT_VERSION} 17160 $<TARGET_FILE:at_host>)
  set_tests_properties(e2e.chat e2e.pyserial PROPERTIES LABELS "e2e;mountns")
  set_tests_properties(e2e.chat e2e.pyserial e2e.socat PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)
  set_property(TEST e2e.socat PROPERTY LABELS e2e)
endif()
