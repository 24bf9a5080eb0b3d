# The plugin installed with cmake --install and loaded by the real OBS
# Studio application. Labelled "obs-app" so that machines without the
# application can leave it out (ctest -LE obs-app); without obs it skips.
add_test(NAME obs_app_install
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/obs_app_test.sh
    ${PROJECT_BINARY_DIR} "${QM_PLUGIN_DIR}")
set_tests_properties(obs_app_install PROPERTIES
  LABELS obs-app
  TIMEOUT 300
  SKIP_RETURN_CODE 77)
