# The Debian package built from this build's programs, installed with
# apt-get, shown in the real OBS Studio application with the installed
# controller, and purged. It needs root (it skips otherwise) and changes
# the system's plug-in folder while it runs: it never runs beside the
# other test that starts OBS Studio. Labelled "obs-app" too, so that the
# sanitizer runs leave it out.
add_test(NAME package_install
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh
    ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
set_tests_properties(package_install PROPERTIES
  LABELS "obs-app;package"
  RESOURCE_LOCK obs-plugins
  TIMEOUT 600
  SKIP_RETURN_CODE 77)
