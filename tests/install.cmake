# The plugin installed with cmake --install and loaded by the real OBS
# Studio application. Labelled "obs-app" so that machines without the
# application can leave it out (ctest -LE obs-app); without obs it skips.
# It never runs beside the package test, which puts the module into the
# system's plug-in folder meanwhile.
add_test(NAME obs_app_install
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/obs_app_test.sh
    ${PROJECT_BINARY_DIR} "${QM_PLUGIN_DIR}")
set_tests_properties(obs_app_install PROPERTIES
  LABELS obs-app
  RESOURCE_LOCK obs-plugins
  TIMEOUT 300
  SKIP_RETURN_CODE 77)
