# The graphics thread and the files in the ways the filter must not fail:
# the settings poll while a capture holds the settings, texture uploads,
# reference images on file systems without hard links. In the headless host
# with the module loaded; the program exports its symbols, so that its
# stand-ins for the C library's file calls and for the host's texture
# upload come before the real ones for the module.
add_executable(failsafe_tests ${CMAKE_CURRENT_LIST_DIR}/test_failsafe.cpp)
target_compile_options(failsafe_tests PRIVATE ${QM_WARNINGS})
target_link_libraries(failsafe_tests PRIVATE qm-test-host-main)
set_target_properties(failsafe_tests PROPERTIES ENABLE_EXPORTS ON)
qm_add_host_test(failsafe_tests 600)
