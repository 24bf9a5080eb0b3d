# Hostile controllers, broken files, the privacy fail-safe and stress, in
# the headless host with the module loaded; and the soak, a long round
# trip that runs only on demand (scripts/soak), never in the test command.
add_executable(hardening_tests
  ${CMAKE_CURRENT_LIST_DIR}/hardening_support.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_hardening_wire.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_hardening_broken.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_hardening_stress.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_hardening_files.cpp)
target_compile_options(hardening_tests PRIVATE ${QM_WARNINGS})
target_link_libraries(hardening_tests PRIVATE
  qm-test-host-main qm-fake-controller)
# The host library's open() stands in front of the C library's for the
# module, to plant files at the very name a capture is about to create.
set_target_properties(hardening_tests PROPERTIES ENABLE_EXPORTS ON)
# Its limit only catches a hang: under ThreadSanitizer on two loaded
# cores the whole program takes about a quarter of an hour.
qm_add_host_test(hardening_tests 1800)
# The longest test by far starts first, so that the others run beside it
# instead of leaving it alone on one core at the end.
set_tests_properties(hardening_tests PROPERTIES COST 10000)

add_executable(soak ${CMAKE_CURRENT_LIST_DIR}/soak.cpp)
target_compile_options(soak PRIVATE ${QM_WARNINGS})
target_compile_definitions(soak PRIVATE
  QM_MODULE_PATH="$<TARGET_FILE:quilmar-direct>")
target_link_libraries(soak PRIVATE qm-obs-host qm-fake-controller)
add_dependencies(soak quilmar-direct)
