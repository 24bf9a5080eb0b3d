#!/usr/bin/env bash
# Installs the built plugin with cmake --install into a throw-away OBS
# configuration, starts the real OBS Studio application with a scene whose
# source carries our filter, and checks that the module loaded, that no
# filter failed to be created and that the filter instance wrote its
# settings file. Then it quits OBS through its main window.
#
# Usage: obs_app_test.sh BUILD_DIR [CONFIGURED_PLUGIN_DIR]
# Exit status 77 means skipped (no OBS Studio, or a build that installs
# into a fixed folder).
set -euo pipefail
source "$(dirname "$0")/obs_app_lib.sh"

readonly SKIP=77
# A value other than the default, so the settings file can only have come
# from the filter instance that OBS built from our scene.
readonly MARK_FPS=23

build=${1:?usage: obs_app_test.sh BUILD_DIR [CONFIGURED_PLUGIN_DIR]}
fixed_dir=${2:-}

if ! command -v obs >/dev/null; then
	echo "SKIP: OBS Studio (obs) is not installed"
	exit $SKIP
fi
if [ -n "$fixed_dir" ]; then
	echo "SKIP: this build installs into QM_PLUGIN_DIR=$fixed_dir;" \
		"reconfigure with -DQM_PLUGIN_DIR= to test the default folder"
	exit $SKIP
fi
if [ -z "${DISPLAY:-}" ]; then
	exec xvfb-run -a -s "-screen 0 1280x720x24" bash "$0" "$@"
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/qm-obs-app.XXXXXX")
config=$tmp/config
obs_dir=$config/obs-studio
plugin=$obs_dir/plugins/$MODULE/bin/64bit/$MODULE.so
settings_file=$obs_dir/plugin_config/$MODULE/settings.json

failed=0
fail() {
	echo "FAIL: $*"
	failed=1
}

finish() {
	stop_obs
	[ "$failed" -eq 0 ] || obs_dump
	rm -rf "$tmp"
}
trap finish EXIT
trap 'exit 1' INT TERM

echo "Installing into $config"
mkdir -p "$tmp/home"
XDG_CONFIG_HOME=$config HOME=$tmp/home \
	cmake --install "$build" --prefix "$tmp/prefix"
if [ ! -f "$plugin" ]; then
	fail "cmake --install did not create $plugin"
	exit 1
fi

obs_write_profile "{\"fps\": $MARK_FPS}"
ensure_xdotool || true
obs_start
obs_wait_started

log=$(obs_log || true)
if [ -z "$log" ]; then
	fail "OBS wrote no log within ${START_DEADLINE} s"
	exit 1
fi
echo "OBS log: $log"

obs_check_module "$log"
if [ ! -s "$settings_file" ]; then
	fail "no filter instance wrote $settings_file"
elif ! grep -qE "\"fps\"[[:space:]]*:[[:space:]]*$MARK_FPS\b" \
	"$settings_file"; then
	fail "$settings_file does not hold the scene's settings:" \
		"$(cat "$settings_file")"
fi
obs_running || fail "OBS ended before it was asked to"
obs_quit "$log"

[ $failed -eq 0 ] && echo "PASS: OBS Studio loaded $MODULE and created its filter"
exit $failed
