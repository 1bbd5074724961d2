# The stubs test also looks at the built shared library itself (dlsym), to
# see the three aliased names at one exported address.
if(TARGET stubs_other_stubs_test)
  add_dependencies(stubs_other_stubs_test at_stubs)
  target_compile_definitions(stubs_other_stubs_test PRIVATE
    AT_STUBS_SHARED_LIBRARY="$<TARGET_FILE:at_stubs>")
  target_link_libraries(stubs_other_stubs_test PRIVATE ${CMAKE_DL_LIBS})
endif()
