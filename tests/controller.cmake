# The fake controller: an independent peer of the module's controller link,
# for the integration tests, the demo and the benchmark.
add_library(qm-fake-controller STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/fake_controller_io.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/fake_controller_endpoints.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/fake_controller_frames.cpp)
target_include_directories(qm-fake-controller PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(qm-fake-controller PRIVATE ${QM_WARNINGS})
target_link_libraries(qm-fake-controller PUBLIC Threads::Threads)

add_executable(fake_controller_tests ${CMAKE_CURRENT_SOURCE_DIR}/test_fake_controller.cpp)
target_compile_options(fake_controller_tests PRIVATE ${QM_WARNINGS})
target_link_libraries(fake_controller_tests PRIVATE qm-fake-controller GTest::gtest_main)
gtest_discover_tests(fake_controller_tests
  DISCOVERY_MODE PRE_TEST
  PROPERTIES LABELS unit TIMEOUT 120)
