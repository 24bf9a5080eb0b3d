# The privacy controller: its stages linked straight from its core (the
# pipeline on a clock of the test's own, obscuring, settings, endpoints,
# the QR detectors), the program driven from outside as the filter drives
# it, and the program with the real module in the headless host.
if(TARGET quilmar-controller)
  file(GLOB QM_CONTROLLER_UNIT_SOURCES CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_LIST_DIR}/controller_unit_*.cpp)
  add_executable(controller_unit_tests ${QM_CONTROLLER_UNIT_SOURCES})
  target_compile_options(controller_unit_tests PRIVATE ${QM_WARNINGS})
  target_link_libraries(controller_unit_tests PRIVATE
    quilmar-controller-core qm-qr-scene GTest::gtest_main opencv_imgcodecs)
  # The worker tests start the controller program as the worker.
  target_compile_definitions(controller_unit_tests PRIVATE
    QM_CONTROLLER_PROGRAM="$<TARGET_FILE:quilmar-controller>"
    QM_TEST_DATA="${CMAKE_CURRENT_LIST_DIR}/data")
  add_dependencies(controller_unit_tests quilmar-controller)
  gtest_discover_tests(controller_unit_tests
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS unit TIMEOUT 180)
endif()

# The program as a child process, driven over loopback.
if(TARGET quilmar-controller)
  add_executable(controller_program_tests
    ${CMAKE_CURRENT_LIST_DIR}/test_controller_program.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_controller_exits.cpp)
  target_compile_options(controller_program_tests PRIVATE ${QM_WARNINGS})
  target_link_libraries(controller_program_tests PRIVATE
    qm-controller-process GTest::gtest_main Threads::Threads)
  # Frames processed in real time need the detectors to keep up: "heavy",
  # the plain build only. So does the recovery from a worker's fault,
  # which is judged by how soon processed frames come back.
  set(heavy_cases
    "ControllerProgram.ProcessedFrames*:ControllerProgram.QrWorkers*")
  gtest_discover_tests(controller_program_tests
    TEST_FILTER "-${heavy_cases}"
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS unit TIMEOUT 300)
  gtest_discover_tests(controller_program_tests
    TEST_FILTER "${heavy_cases}"
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS heavy TIMEOUT 300)
endif()

# The program with the real module in the headless host.
if(TARGET quilmar-controller AND TARGET qm-test-host)
  add_executable(controller_host_tests
    ${CMAKE_CURRENT_LIST_DIR}/test_controller_host.cpp)
  target_compile_options(controller_host_tests PRIVATE ${QM_WARNINGS})
  target_link_libraries(controller_host_tests PRIVATE
    qm-test-host qm-scene-feeder qm-controller-process)
  # Hidden codes and the switches need the detectors to keep up with the
  # frames: "heavy", the plain build only. Restarts and hostile peers need
  # only frames served, and run in the sanitizer builds as well.
  set(host_heavy "*CodesAreHidden*:*SwitchesAct*")
  add_test(NAME controller_host_tests
    COMMAND controller_host_tests --gtest_filter=-${host_heavy})
  add_test(NAME controller_host_heavy_tests
    COMMAND controller_host_tests --gtest_filter=${host_heavy})
  set_tests_properties(controller_host_tests controller_host_heavy_tests
    PROPERTIES LABELS host TIMEOUT 600 ENVIRONMENT "${QM_HOST_TEST_ENV}")
  set_tests_properties(controller_host_heavy_tests PROPERTIES
    LABELS "host;heavy")

  # Faces, kept people and phone numbers on the real models. Labelled
  # "heavy": the sanitizer builds leave these detectors too little of the
  # machine's two cores, so they run in the plain build only. They run
  # alone: beside the package test, on a machine losing half its cores to
  # other guests, a face run took up to 1.9 s and a case waited in vain
  # for its first processed frame.
  add_executable(controller_people_tests
    ${CMAKE_CURRENT_LIST_DIR}/test_controller_people.cpp)
  target_compile_options(controller_people_tests PRIVATE ${QM_WARNINGS})
  target_link_libraries(controller_people_tests PRIVATE
    qm-test-host qm-scene-feeder qm-controller-process)
  qm_add_host_test(controller_people_tests 1200)
  set_tests_properties(controller_people_tests PROPERTIES
    LABELS "host;heavy"
    RUN_SERIAL TRUE)
endif()

# cmake --install of the controller and its systemd user unit.
if(TARGET quilmar-controller)
  add_test(NAME controller_install
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/controller_install_test.sh
      ${PROJECT_BINARY_DIR} "${QM_CONTROLLER_DIR}" "${QM_PLUGIN_DIR}")
  set_tests_properties(controller_install PROPERTIES
    LABELS unit
    TIMEOUT 120
    SKIP_RETURN_CODE 77)
endif()
