# The headless libobs host core: libobs started without OBS Studio, test
# pattern sources and read-back, shared by the tests, the demo and the
# benchmark; one file per job, and what differs between Linux and Windows
# in host-platform.cpp.
add_library(qm-obs-host STATIC
  host-start.cpp
  host-log.cpp
  host-sources.cpp
  host-images.cpp
  host-render.cpp
  host-instance.cpp
  host-wait.cpp
  host-platform.cpp)
target_compile_options(qm-obs-host PRIVATE ${QM_WARNINGS})
target_include_directories(qm-obs-host PUBLIC
  ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qm-obs-host PUBLIC OBS::libobs Threads::Threads)
if(NOT WIN32)
  find_package(X11 REQUIRED)
  target_link_libraries(qm-obs-host PUBLIC X11::X11 ${CMAKE_DL_LIBS})
endif()
