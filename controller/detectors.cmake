# The controller's detectors as one static library, qm-detectors, and the
# models they load. Included by the file that builds the controller; the
# models are fetched (scripts/fetch-models, into the user's cache) when
# they are missing and copied into ${QM_MODEL_DIR}, beside the programs.

find_package(OpenCV 4 REQUIRED COMPONENTS core imgproc imgcodecs dnn)
find_package(PkgConfig REQUIRED)
pkg_check_modules(QM_TESSERACT REQUIRED IMPORTED_TARGET tesseract)
find_path(QM_PHONENUMBER_INCLUDE phonenumbers/phonenumbermatcher.h REQUIRED)
find_library(QM_PHONENUMBER_LIBRARY phonenumber REQUIRED)

set(QM_DETECTOR_DIR ${CMAKE_CURRENT_LIST_DIR})
add_library(qm-detectors STATIC
  ${QM_DETECTOR_DIR}/onnx-model.cpp
  ${QM_DETECTOR_DIR}/face-detector.cpp
  ${QM_DETECTOR_DIR}/face-descriptor.cpp
  ${QM_DETECTOR_DIR}/reference-image.cpp
  ${QM_DETECTOR_DIR}/text-detector.cpp
  ${QM_DETECTOR_DIR}/phone-numbers.cpp)
set_target_properties(qm-detectors PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_compile_options(qm-detectors PRIVATE ${QM_WARNINGS})
target_include_directories(qm-detectors PUBLIC ${QM_DETECTOR_DIR})
target_include_directories(qm-detectors SYSTEM PUBLIC ${OpenCV_INCLUDE_DIRS}
  ${QM_PHONENUMBER_INCLUDE})
target_link_libraries(qm-detectors PUBLIC ${OpenCV_LIBS}
  PkgConfig::QM_TESSERACT ${QM_PHONENUMBER_LIBRARY})

# The models, beside the programs of this build (a cache variable, so
# that the tests see it from whichever folder includes this file).
set(QM_MODEL_DIR ${CMAKE_CURRENT_BINARY_DIR}/models CACHE INTERNAL "")
set(QM_MODEL_FILES face-detector.onnx face-descriptor.onnx text-detector.onnx)
set(QM_MODEL_OUTPUTS ${QM_MODEL_DIR}/SHA256SUMS)
foreach(model ${QM_MODEL_FILES})
  list(APPEND QM_MODEL_OUTPUTS ${QM_MODEL_DIR}/${model})
endforeach()
get_filename_component(QM_FETCH_MODELS
  ${QM_DETECTOR_DIR}/../scripts/fetch-models ABSOLUTE)
add_custom_command(OUTPUT ${QM_MODEL_OUTPUTS}
  COMMAND ${QM_FETCH_MODELS} --copy-to ${QM_MODEL_DIR}
  DEPENDS ${QM_FETCH_MODELS}
    ${QM_DETECTOR_DIR}/../scripts/models/packages.sha256
    ${QM_DETECTOR_DIR}/../scripts/models/models.sha256
    ${QM_DETECTOR_DIR}/../scripts/models/face_descriptor.py
    ${QM_DETECTOR_DIR}/../scripts/models/text_detector.py
  COMMENT "Fetching the detector models"
  VERBATIM)
add_custom_target(qm-models ALL DEPENDS ${QM_MODEL_OUTPUTS})
add_dependencies(qm-detectors qm-models)

# cmake --install puts the models in the user's data folder, found when
# the install runs: $XDG_DATA_HOME/quilmar-direct/models, with
# ~/.local/share when XDG_DATA_HOME is unset or not absolute.
install(CODE "set(qm_model_files \"${QM_MODEL_OUTPUTS}\")")
install(CODE [[
  if(IS_ABSOLUTE "$ENV{XDG_DATA_HOME}")
    set(qm_model_dir "$ENV{XDG_DATA_HOME}")
  else()
    set(qm_model_dir "$ENV{HOME}/.local/share")
  endif()
  file(INSTALL DESTINATION "${qm_model_dir}/quilmar-direct/models"
    TYPE FILE FILES ${qm_model_files})
]])
