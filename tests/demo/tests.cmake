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

# The client's failure when nothing answers: a clear message and status 1.
# Nothing listens on its ports; the refused datagram goes unnoticed on an
# unconnected socket, so only the time-out can end the wait.
if(AT_BUILD_EXAMPLES)
  add_test(NAME demo_at_send_no_answer
    COMMAND sh -c "out=$(\"$0\" --port 17152 --reply-port 17153 --timeout 300 AT 2>&1); rc=$?; echo \"$out\"; \
[ $rc -eq 1 ] && echo \"$out\" | grep -q 'no answer from 127.0.0.1:17152 within 300 ms'"
      $<TARGET_FILE:at_send>)
  set_tests_properties(demo_at_send_no_answer PROPERTIES LABELS demo TIMEOUT 60)
endif()
