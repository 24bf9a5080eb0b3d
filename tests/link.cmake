# The controller link: its pure pieces on their own, and the whole link
# inside the real host against the fake controller.
add_executable(link_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/link_fixture.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/test_link_handshake.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/test_link_streams.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/test_link_faults.cpp)
target_compile_options(link_tests PRIVATE ${QM_WARNINGS})
target_link_libraries(link_tests PRIVATE qm-test-host-main qm-fake-controller)
# The host library's open() counts the module's reads of its endpoint files.
set_target_properties(link_tests PROPERTIES ENABLE_EXPORTS ON)
qm_add_host_test(link_tests 900)

add_executable(link_unit_tests ${CMAKE_CURRENT_SOURCE_DIR}/test_link_unit.cpp)
target_compile_options(link_unit_tests PRIVATE ${QM_WARNINGS})
target_link_libraries(link_unit_tests PRIVATE
  quilmar-direct-core qm-fake-controller GTest::gtest)
gtest_discover_tests(link_unit_tests
  DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS unit TIMEOUT 120)

# Whom the link talks to: listeners of another user on the controller's
# ports, run as nobody by tests/stranger_listener.py.
add_executable(peer_tests ${CMAKE_CURRENT_SOURCE_DIR}/test_peer.cpp)
target_compile_options(peer_tests PRIVATE ${QM_WARNINGS})
target_compile_definitions(peer_tests PRIVATE
  QM_STRANGER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/stranger_listener.py")
target_link_libraries(peer_tests PRIVATE qm-test-host-main qm-fake-controller)
qm_add_host_test(peer_tests 300)
