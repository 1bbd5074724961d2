# The demo's AT line engine is tested from its source, so that the test does
# not depend on the examples being built.
target_sources(demo_at_engine_test PRIVATE ${CMAKE_SOURCE_DIR}/examples/at_host/at_engine.cpp)

# The demo end to end: the host and the client over loopback UDP, as
# `make demo` runs them. Its own ports, so that it does not meet a demo that
# a developer runs at the same time.
if(AT_BUILD_EXAMPLES)
  add_test(NAME demo_session
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/check_demo.sh ${CMAKE_SOURCE_DIR}/examples/run_demo.sh)
  set_tests_properties(demo_session PROPERTIES
    LABELS demo
    TIMEOUT 120
    ENVIRONMENT "AT_HOST=$<TARGET_FILE:at_host>;AT_SEND=$<TARGET_FILE:at_send>;DEMO_RX_PORT=17150;DEMO_TX_PORT=17151")
endif()
