# The stand-in controller, run as a separate process and driven over
# loopback as the module drives it.
if(TARGET quilmar-controller)
  add_executable(test_controller_tool
    ${CMAKE_CURRENT_LIST_DIR}/test_controller_tool.cpp)
  target_compile_options(test_controller_tool PRIVATE ${QM_WARNINGS})
  target_compile_definitions(test_controller_tool PRIVATE
    QM_CONTROLLER_PATH="$<TARGET_FILE:quilmar-controller>")
  target_link_libraries(test_controller_tool PRIVATE
    GTest::gtest_main Threads::Threads)
  add_dependencies(test_controller_tool quilmar-controller)
  gtest_discover_tests(test_controller_tool
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS unit TIMEOUT 120)
endif()

# The tool against the real module, in the headless host.
if(TARGET quilmar-controller AND TARGET qm-test-host-main)
  add_executable(controller_tool_host_tests
    ${CMAKE_CURRENT_LIST_DIR}/test_controller_tool_host.cpp)
  target_compile_options(controller_tool_host_tests PRIVATE ${QM_WARNINGS})
  target_compile_definitions(controller_tool_host_tests PRIVATE
    QM_CONTROLLER_PATH="$<TARGET_FILE:quilmar-controller>")
  target_link_libraries(controller_tool_host_tests PRIVATE qm-test-host-main)
  add_dependencies(controller_tool_host_tests quilmar-controller)
  qm_add_host_test(controller_tool_host_tests 180)
endif()
