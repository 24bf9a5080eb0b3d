# Hostile controllers, broken files, the privacy fail-safe and stress, in
# the headless host with the module loaded; and the soak, a long round
# trip that runs only on demand (scripts/soak), never in the test command.
add_executable(hardening_tests ${CMAKE_CURRENT_LIST_DIR}/test_hardening.cpp)
target_compile_options(hardening_tests PRIVATE ${QM_WARNINGS})
target_link_libraries(hardening_tests PRIVATE
  qm-test-host-main qm-fake-controller)
# The host library's open() stands in front of the C library's for the
# module, to plant files at the very name a capture is about to create.
set_target_properties(hardening_tests PROPERTIES ENABLE_EXPORTS ON)
# Two halves, so that ctest runs them side by side: under ThreadSanitizer
# on two loaded cores the whole program takes about ten minutes, and it
# decided the length of that stage. Started first (COST) for the same
# reason; the limit only catches a hang.
set(hardening_files "SettingsFile.*:EndpointFiles.*:Handshake.*")
add_test(NAME hardening_tests
  COMMAND hardening_tests --gtest_filter=-${hardening_files})
add_test(NAME hardening_tests_files
  COMMAND hardening_tests --gtest_filter=${hardening_files})
set_tests_properties(hardening_tests hardening_tests_files PROPERTIES
  LABELS host TIMEOUT 1800 COST 1000 ENVIRONMENT "${QM_HOST_TEST_ENV}")

add_executable(soak ${CMAKE_CURRENT_LIST_DIR}/soak.cpp)
target_compile_options(soak PRIVATE ${QM_WARNINGS})
target_compile_definitions(soak PRIVATE
  QM_MODULE_PATH="$<TARGET_FILE:quilmar-direct>")
target_link_libraries(soak PRIVATE qm-obs-host qm-fake-controller)
add_dependencies(soak quilmar-direct)
