# The Windows test programs, built with mingw-w64 and run under Wine
# (tests/wine-run.sh) against the Windows libobs runtime that
# scripts/build-windows unpacks; scripts/test-windows runs them.
set(QM_OBS_RUNTIME_DIR "" CACHE PATH
    "The Windows libobs runtime: bin/ with obs.dll, data/effects/")
set(QM_WINE_PREFIX "" CACHE PATH "The Wine prefix the tests run in")

# GoogleTest from Debian's sources, built with the cross compiler.
set(qm_gtest_dir /usr/src/googletest/googletest)
add_library(qm-gtest STATIC ${qm_gtest_dir}/src/gtest-all.cc)
target_include_directories(qm-gtest SYSTEM PUBLIC ${qm_gtest_dir}/include)
target_include_directories(qm-gtest PRIVATE ${qm_gtest_dir})
target_link_libraries(qm-gtest PUBLIC Threads::Threads)
add_library(qm-gtest-main STATIC ${qm_gtest_dir}/src/gtest_main.cc)
target_link_libraries(qm-gtest-main PUBLIC qm-gtest)

set(QM_WINE_TEST_ENV
  "QM_WINE_PREFIX=${QM_WINE_PREFIX}"
  "QM_OBS_RUNTIME=${QM_OBS_RUNTIME_DIR}")

# Adds a Windows test program run under Wine, labelled "windows".
function(qm_add_wine_test name timeout)
  add_test(NAME ${name}
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine-run.sh
      $<TARGET_FILE:${name}> ${ARGN})
  set_tests_properties(${name} PROPERTIES
    LABELS windows
    TIMEOUT ${timeout}
    ENVIRONMENT "${QM_WINE_TEST_ENV}")
endfunction()

# The platform layer and the pure pieces, without libobs running.
add_executable(windows_unit_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/windows/platform_tests.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit_freshness.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/unit_peer.cpp)
target_compile_options(windows_unit_tests PRIVATE ${QM_WARNINGS})
target_link_libraries(windows_unit_tests PRIVATE
  quilmar-direct-core qm-gtest-main)
qm_add_wine_test(windows_unit_tests 120)

# The fake controller, built for Windows as it is for Linux.
add_library(qm-fake-controller STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/fake_controller_io.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/fake_controller_endpoints.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/fake_controller_frames.cpp)
target_include_directories(qm-fake-controller PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(qm-fake-controller PRIVATE ${QM_WARNINGS})
target_link_libraries(qm-fake-controller PUBLIC Threads::Threads ws2_32)

# The module in the Windows libobs, with the fake controller; the tests
# hold files open the way the module's platform layer opens them.
add_executable(windows_host_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/windows/host_tests.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/windows/environment.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/windows/gtest_threads.cpp
  ${PROJECT_SOURCE_DIR}/src/platform.cpp)
target_include_directories(windows_host_tests PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_options(windows_host_tests PRIVATE ${QM_WARNINGS})
target_link_libraries(windows_host_tests PRIVATE
  qm-obs-host qm-fake-controller qm-gtest)
add_dependencies(windows_host_tests quilmar-direct)
qm_add_wine_test(windows_host_tests 600)

# Winsock's start-up and clean-up by the module, in a program of its own
# that touches Winsock nowhere else.
add_executable(windows_winsock_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/windows/winsock_tests.cpp)
target_compile_options(windows_winsock_tests PRIVATE ${QM_WARNINGS})
target_compile_definitions(windows_winsock_tests PRIVATE
  QM_MODULE_PATH="quilmar-direct.dll")
target_link_libraries(windows_winsock_tests PRIVATE
  qm-obs-host qm-gtest-main ws2_32)
add_dependencies(windows_winsock_tests quilmar-direct)
qm_add_wine_test(windows_winsock_tests 120)

# Whom the module talks to: beside the program listens another Linux user
# (tests/with_stranger.sh), whose listener must get no byte.
add_executable(windows_peer_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/windows/peer_tests.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/windows/environment.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/windows/gtest_threads.cpp
  ${PROJECT_SOURCE_DIR}/src/peer.cpp
  ${PROJECT_SOURCE_DIR}/src/platform.cpp)
target_include_directories(windows_peer_tests PRIVATE
  ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(windows_peer_tests PRIVATE ${QM_WARNINGS})
target_link_libraries(windows_peer_tests PRIVATE
  qm-obs-host qm-fake-controller qm-gtest iphlpapi advapi32)
add_dependencies(windows_peer_tests quilmar-direct)
add_test(NAME windows_peer_tests
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/with_stranger.sh 2
    bash ${CMAKE_CURRENT_SOURCE_DIR}/wine-run.sh
    $<TARGET_FILE:windows_peer_tests>)
set_tests_properties(windows_peer_tests PROPERTIES
  LABELS windows
  TIMEOUT 300
  ENVIRONMENT "${QM_WINE_TEST_ENV}")
