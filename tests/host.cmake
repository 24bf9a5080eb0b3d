# The test environment around the headless host core (tools/obs-host),
# shared by the integration tests, and the tests of the module's face,
# instances and video path that run inside it.
add_library(qm-test-host STATIC host.cpp file_hooks.cpp)
target_include_directories(qm-test-host PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(qm-test-host PUBLIC qm-obs-host GTest::gtest)
target_compile_definitions(qm-test-host PRIVATE
  QM_MODULE_PATH="$<TARGET_FILE:quilmar-direct>")
add_dependencies(qm-test-host quilmar-direct)

# main() for programs that run with the module loaded.
add_library(qm-test-host-main STATIC host_main.cpp)
target_link_libraries(qm-test-host-main PUBLIC qm-test-host)

# LeakSanitizer findings inside the graphics driver stack, not ours.
set(QM_HOST_TEST_ENV
  "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp:print_suppressions=0")

# Adds a host test program: one CTest test running all its cases in one
# libobs start-up, labelled "host".
function(qm_add_host_test name timeout)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    LABELS host
    TIMEOUT ${timeout}
    ENVIRONMENT "${QM_HOST_TEST_ENV}")
endfunction()

add_executable(filter_tests
  filter_fixture.cpp
  test_filter_registration.cpp
  test_filter_display.cpp
  test_filter_capture.cpp)
target_link_libraries(filter_tests PRIVATE qm-test-host-main)
qm_add_host_test(filter_tests 300)

# Failure injection needs the core's test hook, which the module does not
# export: this program links the core and registers its filter itself.
add_executable(filter_rollback_tests test_filter_rollback.cpp)
target_link_libraries(filter_rollback_tests PRIVATE
  qm-test-host quilmar-direct-core)
qm_add_host_test(filter_rollback_tests 300)
