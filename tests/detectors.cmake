# The controller's detector units on real models and on pictures built
# from installed Debian packages. Labelled "detectors".
if(TARGET qm-detectors)
  find_package(OpenCV 4 REQUIRED COMPONENTS freetype)
  add_library(qm-detector-samples STATIC
    ${CMAKE_CURRENT_LIST_DIR}/detector_samples.cpp)
  target_compile_options(qm-detector-samples PRIVATE ${QM_WARNINGS})
  target_compile_definitions(qm-detector-samples PUBLIC
    QM_MODEL_DIR="${QM_MODEL_DIR}")
  target_include_directories(qm-detector-samples PUBLIC
    ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(qm-detector-samples PUBLIC qm-detectors
    opencv_freetype)

  # Figures for the documentation; built on demand, not a test.
  add_executable(detector_figures EXCLUDE_FROM_ALL
    ${CMAKE_CURRENT_LIST_DIR}/detector_figures.cpp
    ${CMAKE_CURRENT_LIST_DIR}/detector_mode_figures.cpp)
  target_compile_options(detector_figures PRIVATE ${QM_WARNINGS})
  target_link_libraries(detector_figures PRIVATE qm-detector-samples
    quilmar-controller-core qm-qr-scene)
endif()

if(TARGET qm-detector-samples AND TARGET quilmar-controller)
  # The faces and phones stages in worker processes: the real controller
  # program is the worker.
  add_executable(detector_worker_tests
    ${CMAKE_CURRENT_LIST_DIR}/test_detector_workers.cpp)
  target_compile_options(detector_worker_tests PRIVATE ${QM_WARNINGS})
  target_link_libraries(detector_worker_tests PRIVATE qm-detector-samples
    quilmar-controller-core GTest::gtest_main)
  target_compile_definitions(detector_worker_tests PRIVATE
    QM_CONTROLLER_PROGRAM="$<TARGET_FILE:quilmar-controller>")
  add_dependencies(detector_worker_tests quilmar-controller)
  gtest_discover_tests(detector_worker_tests
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS detectors TIMEOUT 600
      ENVIRONMENT "OMP_THREAD_LIMIT=1")
endif()

if(TARGET qm-detector-samples)
  add_executable(detector_tests
    ${CMAKE_CURRENT_LIST_DIR}/test_face_detector.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_face_descriptor.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_text_phone.cpp)
  target_compile_options(detector_tests PRIVATE ${QM_WARNINGS})
  target_compile_definitions(detector_tests PRIVATE
    QM_TEST_DATA="${CMAKE_CURRENT_LIST_DIR}/data")
  # quilmar-direct-core for the filter's own reference capture writer.
  target_link_libraries(detector_tests PRIVATE qm-detector-samples
    quilmar-direct-core GTest::gtest_main)
  # OMP_THREAD_LIMIT: Tesseract's OpenMP threads would only spin here.
  gtest_discover_tests(detector_tests
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS detectors TIMEOUT 600
      ENVIRONMENT "OMP_THREAD_LIMIT=1")
endif()
