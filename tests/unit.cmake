# Pure pieces of the module, linked straight from its objects.
file(GLOB QM_UNIT_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/unit_*.cpp)
add_executable(unit_tests ${QM_UNIT_SOURCES})
target_link_libraries(unit_tests PRIVATE quilmar-direct-core GTest::gtest_main)
gtest_discover_tests(unit_tests PROPERTIES LABELS unit TIMEOUT 120
  DISCOVERY_TIMEOUT 60)
