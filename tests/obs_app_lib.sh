# Shared by the tests that start the real OBS Studio application with a
# throw-away configuration: its profile and scene, starting, waiting,
# checking the module and quitting as a user would. Sourced, not run.
#
# The test sets before use: tmp (its scratch folder), config (the
# XDG_CONFIG_HOME given to OBS), obs_dir ($config/obs-studio) and
# settings_file (the filter's settings.json), and defines fail MESSAGE.

readonly FILTER_ID=quilmar_direct_filter_experiment
readonly MODULE=quilmar-direct
readonly START_DEADLINE=60
readonly EXIT_DEADLINE=30
obs_pid=

# xdotool closes the main window; without it OBS can only be stopped with
# a signal, which tells nothing about a clean exit.
ensure_xdotool() {
	command -v xdotool >/dev/null && return 0
	local sudo=()
	if [ "$(id -u)" -ne 0 ]; then
		sudo -n true 2>/dev/null || return 1
		sudo=(sudo -n)
	fi
	echo "Installing xdotool"
	export DEBIAN_FRONTEND=noninteractive
	"${sudo[@]}" apt-get install -y -qq --no-install-recommends xdotool \
		>/dev/null 2>&1 && return 0
	"${sudo[@]}" apt-get update -qq >/dev/null 2>&1 &&
		"${sudo[@]}" apt-get install -y -qq --no-install-recommends \
			xdotool >/dev/null 2>&1
}

# obs_write_profile FILTER_SETTINGS: global.ini and a scene whose colour
# source (1280x720, green) carries the filter with these settings (JSON).
# The first run is over (no auto-configuration wizard), the bundled
# obs-websocket has been set up and stays off (no password, no port), and
# the scene collection is the current one.
obs_write_profile() {
	mkdir -p "$obs_dir/basic/scenes" "$obs_dir/basic/profiles/Test"
	cat >"$obs_dir/global.ini" <<EOF
[General]
FirstRun=true

[Basic]
Profile=Test
ProfileDir=Test
SceneCollection=Test
SceneCollectionFile=Test

[OBSWebSocket]
FirstLoad=false
ServerEnabled=false
AlertsEnabled=false
EOF

	cat >"$obs_dir/basic/scenes/Test.json" <<EOF
{
    "name": "Test",
    "current_scene": "Scene",
    "current_program_scene": "Scene",
    "scene_order": [{"name": "Scene"}],
    "sources": [
        {
            "name": "Scene",
            "id": "scene",
            "versioned_id": "scene",
            "settings": {
                "id_counter": 1,
                "items": [{"name": "Camera", "id": 1, "visible": true}]
            }
        },
        {
            "name": "Camera",
            "id": "color_source",
            "versioned_id": "color_source_v3",
            "settings": {"color": 4278255360, "width": 1280, "height": 720},
            "filters": [
                {
                    "name": "Privacy",
                    "id": "$FILTER_ID",
                    "versioned_id": "$FILTER_ID",
                    "settings": $1
                }
            ]
        }
    ]
}
EOF
}

obs_start() {
	mkdir -p "$tmp/home" "$tmp/runtime"
	chmod 700 "$tmp/runtime"
	echo "Starting OBS Studio on display $DISPLAY"
	XDG_CONFIG_HOME=$config HOME=$tmp/home XDG_DATA_HOME=$tmp/home/.local/share \
		XDG_CACHE_HOME=$tmp/home/.cache XDG_RUNTIME_DIR=$tmp/runtime \
		setsid obs --multi --disable-missing-files-check >"$tmp/obs.out" 2>&1 &
	obs_pid=$!
}

obs_running() {
	[ -n "$obs_pid" ] && kill -0 "$obs_pid" 2>/dev/null
}

stop_obs() {
	[ -n "$obs_pid" ] || return 0
	# OBS runs in a session of its own: take its whole group down.
	kill -KILL -- "-$obs_pid" 2>/dev/null || true
	wait "$obs_pid" 2>/dev/null || true
	obs_pid=
}

obs_log() {
	local logs=("$obs_dir"/logs/*.txt)
	[ -e "${logs[0]}" ] && echo "${logs[-1]}"
}

# Done waiting once the filter instance wrote its settings, or once OBS
# has given up on creating it.
obs_started() {
	local log
	log=$(obs_log) || return 1
	grep -q "Failed to create source 'Privacy'" "$log" && return 0
	grep -q "==== Startup complete" "$log" && [ -s "$settings_file" ]
}

obs_wait_started() {
	local deadline=$((SECONDS + START_DEADLINE))
	while ! obs_started && obs_running && [ $SECONDS -lt $deadline ]; do
		sleep 0.2
	done
}

# obs_check_module LOG: the module is among those loaded, OBS reports no
# problem with it, and the filter instance was created.
obs_check_module() {
	local log=$1
	# The "Loaded Modules:" block lists one module per line up to a rule.
	local loaded
	loaded=$(sed -n '/Loaded Modules:/,/-----/p' "$log")
	grep -qE "^[0-9:.]+:[[:space:]]+$MODULE\.so$" <<<"$loaded" ||
		fail "$MODULE.so is not among OBS's loaded modules"
	if grep -iE "$MODULE|$FILTER_ID" "$log" |
		grep -iE "not found|fail|error|unable|could not"; then
		fail "OBS reports a problem with $MODULE or $FILTER_ID"
	fi
	if grep -qF "Failed to create source 'Privacy'" "$log"; then
		fail "OBS could not create the filter"
	fi
}

# Closes the main window (File > Exit, as a user would) and checks that
# OBS ends cleanly; without xdotool it is stopped with a signal.
obs_quit() {
	local log=$1 window= deadline status=0
	obs_running || return 0
	if ! ensure_xdotool; then
		echo "xdotool is unavailable: stopping OBS with a signal"
		stop_obs
		return
	fi
	deadline=$((SECONDS + START_DEADLINE))
	while [ -z "$window" ] && obs_running && [ $SECONDS -lt $deadline ]; do
		window=$(xdotool search --onlyvisible --pid "$obs_pid" \
			--name '^OBS [0-9]' 2>/dev/null | head -n 1 || true)
		[ -n "$window" ] || sleep 0.2
	done
	if [ -z "$window" ]; then
		fail "OBS's main window did not appear"
		return
	fi
	xdotool windowfocus --sync "$window" key ctrl+q
	deadline=$((SECONDS + EXIT_DEADLINE))
	while obs_running && [ $SECONDS -lt $deadline ]; do
		sleep 0.2
	done
	if obs_running; then
		fail "OBS did not exit within ${EXIT_DEADLINE} s of closing"
		return
	fi
	wait "$obs_pid" || status=$?
	obs_pid=
	[ $status -eq 0 ] || fail "OBS exited with status $status"
	grep -q "==== Shutting down" "$log" ||
		fail "OBS did not shut down cleanly"
	grep "Number of memory leaks" "$log" || true
}

# Shows OBS's log and output after a failure.
obs_dump() {
	local log
	log=$(obs_log || true)
	if [ -n "$log" ]; then
		echo "---- OBS log ($log)"
		cat "$log"
	fi
	echo "---- OBS output"
	cat "$tmp/obs.out" 2>/dev/null || true
}
