# The settings exchange and reference capture, in the headless host with
# the module loaded. The program has a main of its own: it also runs itself
# with over-long configuration folders.
add_executable(exchange_tests
  ${CMAKE_CURRENT_LIST_DIR}/test_exchange_settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_exchange_failures.cpp
  ${CMAKE_CURRENT_LIST_DIR}/exchange_fixture.cpp)
target_link_libraries(exchange_tests PRIVATE qm-test-host)
qm_add_host_test(exchange_tests 600)
