# The demo as scripts/demo runs it, shortened: it must end with its three
# pictures and a zero exit status (it checks the pictures itself). It runs
# every detector on the real models: "heavy", the plain build only. It runs
# alone: it checks every pixel away from what is hidden, and with another
# heavy test beside it on two cores the phone stage got 5 runs in 11 s,
# and its regions grew for motion over most of the picture.
if(TARGET quilmar-demo)
  add_test(NAME demo_round_trip
    COMMAND ${CMAKE_COMMAND}
      -DDEMO=$<TARGET_FILE:quilmar-demo>
      -DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/demo-test-output
      -P ${CMAKE_CURRENT_SOURCE_DIR}/demo_check.cmake)
  set_tests_properties(demo_round_trip PROPERTIES
    LABELS "host;heavy"
    RUN_SERIAL TRUE
    TIMEOUT 300
    ENVIRONMENT "${QM_HOST_TEST_ENV}")
endif()
