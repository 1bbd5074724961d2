# AT_SANITIZE=address builds everything (library, stand-ins, GoogleTest, tests)
# with AddressSanitizer and UndefinedBehaviorSanitizer; AT_SANITIZE=thread with
# ThreadSanitizer. UBSan does not recover: the first finding ends the test
# process, whatever UBSAN_OPTIONS says. The run-time options (halt on error,
# leak detection) are set by the Makefile targets test-asan and test-tsan.
set(AT_SANITIZE "" CACHE STRING "Sanitizer build: address (with undefined) or thread")
set_property(CACHE AT_SANITIZE PROPERTY STRINGS "" address thread)

if(AT_SANITIZE STREQUAL "address")
  set(_at_san_flags -fsanitize=address,undefined -fno-sanitize-recover=all
      -fno-omit-frame-pointer)
elseif(AT_SANITIZE STREQUAL "thread")
  set(_at_san_flags -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT AT_SANITIZE STREQUAL "")
  message(FATAL_ERROR "AT_SANITIZE must be empty, address or thread (got '${AT_SANITIZE}')")
endif()

if(_at_san_flags)
  add_compile_options(${_at_san_flags})
  add_link_options(${_at_san_flags})
  message(STATUS "Sanitizer build: ${AT_SANITIZE}")
endif()
