# The demo as scripts/demo runs it, shortened: it must end with its three
# pictures and a zero exit status (it checks the pictures itself). It runs
# every detector on the real models: "heavy", the plain build only.
if(TARGET quilmar-demo)
  add_test(NAME demo_round_trip
    COMMAND ${CMAKE_COMMAND}
      -DDEMO=$<TARGET_FILE:quilmar-demo>
      -DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/demo-test-output
      -P ${CMAKE_CURRENT_SOURCE_DIR}/demo_check.cmake)
  set_tests_properties(demo_round_trip PROPERTIES
    LABELS "host;heavy"
    TIMEOUT 300
    ENVIRONMENT "${QM_HOST_TEST_ENV}")
endif()
