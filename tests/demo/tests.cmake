# The demo's AT line engine is tested from its source, so that the test does
# not depend on the examples being built.
target_sources(demo_at_engine_test PRIVATE ${CMAKE_SOURCE_DIR}/examples/at_host/at_engine.cpp)
