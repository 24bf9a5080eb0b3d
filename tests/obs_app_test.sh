#!/usr/bin/env bash
# Installs the built plugin with cmake --install into a throw-away OBS
# configuration, starts the real OBS Studio application with a scene whose
# source carries our filter, and checks that the module loaded, that no
# filter failed to be created and that the filter instance wrote its
# settings file. Run as root, it also leaves endpoint files whose ports
# another user (nobody) listens on, as after a controller crash, and
# checks that the filter sends that listener nothing and says so once per
# file, and that a listener of its own user on the same ports then gets
# the token. Then it quits OBS through its main window.
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
readonly PEER_DEADLINE=60
readonly TOKEN=qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq

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
listener_pid=
listener_report=$tmp/listener.txt
ports=()

failed=0
fail() {
	echo "FAIL: $*"
	failed=1
}

# A listener on the loopback ports given (0: chosen by the system) that
# becomes user first and reports what it sees (tests/stranger_listener.py).
start_listener() {
	local user=$1
	shift
	: >"$listener_report"
	python3 "$(dirname "$0")/stranger_listener.py" "$user" "$@" \
		>>"$listener_report" &
	listener_pid=$!
	local deadline=$((SECONDS + 30))
	while [ "$(grep -c '^listening ' "$listener_report" || true)" -lt $# ]; do
		if [ $SECONDS -ge $deadline ] || ! kill -0 "$listener_pid"; then
			return 1
		fi
		sleep 0.1
	done
	mapfile -t ports < <(awk '/^listening /{print $2}' "$listener_report")
}

stop_listener() {
	[ -n "$listener_pid" ] || return 0
	kill "$listener_pid" 2>/dev/null || true
	wait "$listener_pid" 2>/dev/null || true
	listener_pid=
}

# Bytes the listener received on a port.
listener_bytes() {
	awk -v port="$1" '$1 == "bytes" && $2 == port { n += $3 } END { print n + 0 }' \
		"$listener_report"
}

# Whether every port saw at least $1 connections closed by the filter.
listener_closed() {
	local port
	for port in "${ports[@]}"; do
		[ "$(grep -c "^closed $port\$" "$listener_report" || true)" -ge "$1" ] ||
			return 1
	done
}

finish() {
	stop_obs
	stop_listener
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
peer_check=0
if [ "$(id -u)" -eq 0 ]; then
	if start_listener nobody 0 0; then
		peer_check=1
		endpoint_dir=$obs_dir/plugin_config/$MODULE
		mkdir -p "$endpoint_dir"
		echo "{\"port\": ${ports[0]}, \"token\": \"$TOKEN\"}" \
			>"$endpoint_dir/filter-input.endpoint"
		echo "{\"port\": ${ports[1]}, \"token\": \"$TOKEN\"}" \
			>"$endpoint_dir/direct-output.endpoint"
	else
		fail "the listener of another user did not start"
	fi
else
	echo "Not root: no listener of another user to check the filter against"
fi
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

if [ $peer_check -eq 1 ]; then
	# Attempt after attempt, each closed before a byte was written.
	deadline=$((SECONDS + PEER_DEADLINE))
	while ! listener_closed 3 && obs_running && [ $SECONDS -lt $deadline ]; do
		sleep 0.2
	done
	listener_closed 3 ||
		fail "the filter did not try the other user's listener" \
			"three times on each port: $(tr '\n' ' ' <"$listener_report")"
	for port in "${ports[@]}"; do
		bytes=$(listener_bytes "$port")
		[ "$bytes" -eq 0 ] ||
			fail "the filter sent $bytes bytes to port $port of another user"
	done
	for name in filter-input direct-output; do
		told=$(grep -c "Quilmar: the listener of $name.endpoint does not belong to this user; not connecting" "$log" || true)
		[ "$told" -eq 1 ] ||
			fail "$name.endpoint reported $told times, not once"
	done

	# The same ports, now this user's: the token goes out on both.
	stop_listener
	if start_listener "$(id -un)" "${ports[@]}"; then
		deadline=$((SECONDS + PEER_DEADLINE))
		while { [ "$(listener_bytes "${ports[0]}")" -lt 64 ] ||
			[ "$(listener_bytes "${ports[1]}")" -lt 64 ]; } &&
			obs_running && [ $SECONDS -lt $deadline ]; do
			sleep 0.2
		done
		for port in "${ports[@]}"; do
			[ "$(listener_bytes "$port")" -ge 64 ] ||
				fail "no token reached this user's listener on port $port"
		done
	else
		fail "the listener of this user did not start on ports ${ports[*]}"
	fi
	stop_listener
	echo "Peer check: another user's listener got no byte, this user's the token"
fi
obs_quit "$log"

[ $failed -eq 0 ] && echo "PASS: OBS Studio loaded $MODULE and created its filter"
exit $failed
