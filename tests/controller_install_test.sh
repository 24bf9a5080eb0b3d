#!/usr/bin/env bash
# cmake --install puts the controller into ~/.local/bin and its systemd
# user unit into ~/.config/systemd/user (or $XDG_CONFIG_HOME/systemd/user),
# for the user who runs it: checked with a throw-away home folder.
#
# Usage: controller_install_test.sh BUILD_DIR CONTROLLER_DIR PLUGIN_DIR
# (the folders the build was configured with; empty for the defaults).
# Exit status 77 means skipped (a build that installs into a fixed folder).
set -euo pipefail

build=${1:?usage: controller_install_test.sh BUILD_DIR CONTROLLER_DIR PLUGIN_DIR}
if [ -n "${2:-}${3:-}" ]; then
	echo "SKIP: this build installs into fixed folders ($2 $3)"
	exit 77
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/qm-ctl-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() {
	echo "FAIL: $*"
	failed=1
}

check() {
	local home=$1 units=$2
	local program=$home/.local/bin/quilmar-controller
	local unit=$units/quilmar-controller.service
	[ -x "$program" ] || fail "no program at $program"
	[ -f "$unit" ] || { fail "no unit at $unit"; return; }
	grep -qx "ExecStart=$program" "$unit" ||
		fail "$unit does not start $program: $(grep ExecStart "$unit")"
	grep -qx "WantedBy=default.target" "$unit" ||
		fail "$unit is not wanted by the session"
	"$program" --help | grep -q "systemctl --user" ||
		fail "the installed program does not run"
}

# XDG_CONFIG_HOME unset: units below ~/.config.
mkdir -p "$tmp/a"
env -u XDG_CONFIG_HOME HOME="$tmp/a" \
	cmake --install "$build" --prefix "$tmp/a/prefix" >/dev/null
check "$tmp/a" "$tmp/a/.config/systemd/user"

# XDG_CONFIG_HOME absolute: units below it.
mkdir -p "$tmp/b"
HOME="$tmp/b" XDG_CONFIG_HOME="$tmp/b/xdg" \
	cmake --install "$build" --prefix "$tmp/b/prefix" >/dev/null
check "$tmp/b" "$tmp/b/xdg/systemd/user"

if command -v systemd-analyze >/dev/null; then
	systemd-analyze verify --man=no \
		"$tmp/b/xdg/systemd/user/quilmar-controller.service" \
		>"$tmp/verify.log" 2>&1 ||
		{ cat "$tmp/verify.log"; fail "systemd-analyze rejects the unit"; }
fi
[ $failed -eq 0 ] && echo "controller and unit installed for the user"
exit $failed
