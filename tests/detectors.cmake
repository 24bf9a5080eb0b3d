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
    ${CMAKE_CURRENT_LIST_DIR}/detector_figures.cpp)
  target_compile_options(detector_figures PRIVATE ${QM_WARNINGS})
  target_link_libraries(detector_figures PRIVATE qm-detector-samples)
endif()
