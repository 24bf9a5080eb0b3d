#!/usr/bin/env bash
# The Debian package on this machine, as root: builds it twice from the
# build's programs (an older and a newer version), installs the older one
# with apt-get and upgrades it to the newer; starts the real OBS Studio
# application with a scene whose source carries the filter and checks that
# the module loads from the system folder and shows black; starts the
# installed controller on that OBS's configuration folder and checks that
# processed frames reach the screen; starts OBS again with a user copy of
# the module beside the package's and checks that the module names both;
# purges the package and checks that none of its files is left and that
# the user's configuration folder is untouched.
#
# Usage: package_test.sh SOURCE_DIR BUILD_DIR
# Exit status 77 means skipped (not root, no OBS Studio, or a
# quilmar-direct package already installed here).
set -euo pipefail
source "$(dirname "$0")/obs_app_lib.sh"

readonly SKIP=77
readonly PACKAGE=quilmar-direct
readonly SHOW_DEADLINE=90

src=${1:?usage: package_test.sh SOURCE_DIR BUILD_DIR}
build=${2:?usage: package_test.sh SOURCE_DIR BUILD_DIR}

skip() {
	echo "SKIP: $*"
	exit $SKIP
}
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
for tool in obs apt-get dpkg-deb dpkg-shlibdeps Xvfb python3 flock; do
	command -v $tool >/dev/null || skip "$tool is not installed"
done
# The package is the machine's: another run of the tests on this machine
# installs and purges it too. One at a time.
exec 9>/var/lock/quilmar-direct-package-test.lock
flock -w 300 9 || skip "another package test held the package for five minutes"
if dpkg-query -W -f='${Status}' $PACKAGE 2>/dev/null | grep -q installed; then
	skip "a $PACKAGE package is installed here; the test would replace it"
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/qm-package.XXXXXX")
config=$tmp/config
obs_dir=$config/obs-studio
settings_file=$obs_dir/plugin_config/$MODULE/settings.json
module=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/obs-plugins/$MODULE.so
user_copy=$obs_dir/plugins/$MODULE/bin/64bit/$MODULE.so
xvfb_pid=
controller_pid=

failed=0
fail() {
	echo "FAIL: $*"
	failed=1
}

apt_quiet() {
	DEBIAN_FRONTEND=noninteractive apt-get -y -q --no-install-recommends \
		-o DPkg::Lock::Timeout=600 "$@" >"$tmp/apt.out" 2>&1 ||
		{ cat "$tmp/apt.out"; return 1; }
}

finish() {
	[ -z "$controller_pid" ] || kill -KILL "$controller_pid" 2>/dev/null || true
	stop_obs
	[ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
	[ "$failed" -eq 0 ] || obs_dump
	if dpkg-query -W -f='${Status}' $PACKAGE 2>/dev/null | grep -q installed; then
		apt_quiet purge $PACKAGE || true
	fi
	rm -rf "$tmp"
}
trap finish EXIT
trap 'exit 1' INT TERM

step() {
	echo "== [$SECONDS s] $*"
}

# An X server of its own, whose screen the test can read: Xvfb keeps it
# in an XWD file under -fbdir.
start_x() {
	mkdir -p "$tmp/fb"
	Xvfb -displayfd 5 -screen 0 1280x720x24 -fbdir "$tmp/fb" -nolisten tcp \
		5>"$tmp/display" 2>"$tmp/xvfb.out" &
	xvfb_pid=$!
	local deadline=$((SECONDS + 30))
	while [ ! -s "$tmp/display" ] && [ $SECONDS -lt $deadline ]; do
		sleep 0.1
	done
	[ -s "$tmp/display" ] || { cat "$tmp/xvfb.out"; return 1; }
	export DISPLAY=:$(head -n 1 "$tmp/display")
}

# The number of green pixels on the screen: the scene's colour source as
# the filter shows it once processed frames come back (black otherwise).
green_pixels() {
	python3 - "$tmp/fb/Xvfb_screen0" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
order = ">" if struct.unpack(">I", data[:4])[0] < 4096 else "<"
h = struct.unpack(order + "25I", data[:100])
width, height, bpp, line, ncolors = h[4], h[5], h[11], h[12], h[19]
masks = h[14:17]
shifts = [(m & -m).bit_length() - 1 for m in masks]
assert bpp == 32, bpp
start = h[0] + 12 * ncolors
pixel_order = "<" if h[7] == 0 else ">"
count = 0
for y in range(height):
    row = data[start + y * line:start + y * line + 4 * width]
    for p in struct.unpack(pixel_order + "%dI" % width, row):
        r, g, b = ((p & m) >> s for m, s in zip(masks, shifts))
        if g >= 200 and r <= 60 and b <= 60:
            count += 1
print(count)
EOF
}

# wait_green more|fewer N: waits until more than (or fewer than) N green
# pixels are shown; prints the last count.
wait_green() {
	local deadline=$((SECONDS + SHOW_DEADLINE)) green
	while :; do
		green=$(green_pixels)
		case $1 in
		more) [ "$green" -gt "$2" ] && break ;;
		fewer) [ "$green" -lt "$2" ] && break ;;
		esac
		obs_running && [ $SECONDS -lt $deadline ] || break
		sleep 0.5
	done
	echo "$green"
}

installed_version() {
	dpkg-query -W -f='${Version}' $PACKAGE 2>/dev/null || true
}

step "Building the packages"
version=$(sed -n 's/^project(quilmar-direct VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
# Uncompressed: xz would only cost time here.
old=$("$src/scripts/package" --build-dir "$build" --output "$tmp/old" \
	--version "$version~test1" --compression none | tail -n 1)
new=$("$src/scripts/package" --build-dir "$build" --output "$tmp/new" \
	--version "$version" --compression none | tail -n 1)
echo "$(basename "$new"): $(du -k "$new" | cut -f1) KiB"
dpkg-deb -f "$new" Depends

step "Installing $(basename "$old"), then upgrading to $(basename "$new")"
apt_quiet install "$old"
[ "$(installed_version)" = "$version~test1" ] ||
	fail "apt-get installed version $(installed_version), not $version~test1"
apt_quiet install "$new"
[ "$(installed_version)" = "$version" ] ||
	fail "the upgrade left version $(installed_version), not $version"
# Every file of the package is the newer one's (checked against its md5sums).
dpkg --verify $PACKAGE || fail "installed files differ from the package's"
zcat /usr/share/doc/$PACKAGE/changelog.gz | head -n 1 |
	grep -qF "($version)" || fail "the changelog is not the newer package's"
dpkg -L $PACKAGE >"$tmp/files"
for path in "$module" /usr/bin/quilmar-controller \
	/usr/lib/systemd/user/quilmar-controller.service \
	/usr/share/$PACKAGE/models/SHA256SUMS /usr/share/doc/$PACKAGE/copyright; do
	grep -qx "$path" "$tmp/files" || fail "the package does not hold $path"
done
[ ! -e /etc/systemd/user/default.target.wants/quilmar-controller.service ] ||
	fail "the package enabled the user unit"
unit=/usr/lib/systemd/user/quilmar-controller.service
grep -qx "ExecStart=/usr/bin/quilmar-controller" "$unit" ||
	fail "$unit does not start /usr/bin/quilmar-controller"
if command -v systemd-analyze >/dev/null &&
	! systemd-analyze verify --man=no "$unit" >"$tmp/verify.out" 2>&1; then
	cat "$tmp/verify.out"
	fail "systemd-analyze rejects $unit"
fi

step "Starting OBS Studio with the packaged module"
start_x
# The shortest look-ahead and a low rate: the controller's frames reach
# the screen soon, and cost the busy test machine little.
obs_write_profile '{"delay": 1.0, "fps": 5}'
ensure_xdotool || true
obs_start
obs_wait_started
log=$(obs_log || true)
[ -n "$log" ] || { fail "OBS wrote no log within ${START_DEADLINE} s"; exit 1; }
obs_check_module "$log"
[ -s "$settings_file" ] || fail "no filter instance wrote $settings_file"
grep -qF "$module" "/proc/$obs_pid/maps" ||
	fail "OBS did not map $module"
black=$(green_pixels)
echo "without a controller: $black green pixels"
[ "$black" -lt 100 ] || fail "the filter shows its source without a controller"

step "Starting /usr/bin/quilmar-controller on OBS's configuration folder"
HOME=$tmp/home XDG_DATA_HOME=$tmp/home/.local/share \
	/usr/bin/quilmar-controller --config-dir "$(dirname "$settings_file")" \
	--status-every 5 >"$tmp/controller.out" 2>"$tmp/controller.err" &
controller_pid=$!
shown_from=$SECONDS
green=$(wait_green more 20000)
echo "with the controller: $green green pixels after $((SECONDS - shown_from)) s"
[ "$green" -gt 20000 ] || fail "no processed frames on the screen"
kill -TERM "$controller_pid"
status=0
wait "$controller_pid" || status=$?
controller_pid=
[ $status -eq 0 ] || fail "the controller ended with status $status"
black=$(wait_green fewer 100)
echo "after the controller: $black green pixels"
[ "$black" -lt 100 ] || fail "the filter shows no black once the controller ends"
summary=$(tail -n 1 "$tmp/controller.out")
echo "controller: $summary"
# Frames written back, processed or (on a machine too busy for the
# detectors) wholly obscured: either way the controller's, which a
# missing or wrong model would have stopped.
sent=$(sed -n 's/.*\bframes_out=\([0-9]*\).*/\1/p' <<<"$summary")
[ "${sent:-0}" -gt 0 ] || {
	cat "$tmp/controller.err"
	fail "the controller sent no frame back"
}
obs_quit "$log"
# The next start writes a log of its own.
mkdir -p "$tmp/logs"
mv "$obs_dir"/logs/*.txt "$tmp/logs/"

step "Starting OBS Studio with a user copy of the module beside the package's"
install -D -m 0644 "$build/$MODULE.so" "$user_copy"
obs_start
obs_wait_started
log=$(obs_log || true)
[ -n "$log" ] || { fail "OBS wrote no log within ${START_DEADLINE} s"; exit 1; }
line=$(grep -F "Quilmar: two copies" "$log" | tr -s / || true)
echo "${line:-no line about two copies}"
[[ $line == *"$module is in use"* && $line == *"$user_copy"* ]] ||
	fail "the module does not name both copies"
# Distinct lines: OBS's log file has held a line twice, word for word and
# to the millisecond, when another thread logged at the same moment; a
# line from the first copy would name the paths the other way round.
[ "$(grep "Quilmar: two copies" "$log" | sort -u | wc -l)" -eq 1 ] ||
	fail "the two copies are not named in exactly one line"
# The second copy registers nothing: libobs refuses no duplicate, and the
# scene's filter is created from the first.
grep -F "Duplicate library" "$log" && fail "a copy registered the filter again"
grep -qF "Failed to create source 'Privacy'" "$log" &&
	fail "OBS could not create the filter beside two copies"
maps=$(cat "/proc/$obs_pid/maps" 2>/dev/null || true)
grep -qF "$module" <<<"$maps" && grep -qF "$user_copy" <<<"$maps" ||
	fail "OBS did not map both copies"
obs_quit "$log"
rm -f "$user_copy"

step "Purging the package"
(cd "$config" && find . -type f -exec sha256sum {} + | sort) >"$tmp/config.before"
apt_quiet purge $PACKAGE
[ -z "$(installed_version)" ] || fail "dpkg still knows $PACKAGE"
left=0
while read -r path; do
	# Folders of others (/usr/bin, ...) stay; everything of ours goes.
	if [ -e "$path" ] && { [ ! -d "$path" ] || [[ $path == *quilmar* ]]; }; then
		fail "$path is left after the purge"
		left=$((left + 1))
	fi
done <"$tmp/files"
(cd "$config" && find . -type f -exec sha256sum {} + | sort) >"$tmp/config.after"
cmp -s "$tmp/config.before" "$tmp/config.after" ||
	fail "the purge changed the user's configuration folder"
echo "$(grep -c . "$tmp/files") paths listed by dpkg -L, $left left after the purge"

[ $failed -eq 0 ] && echo "PASS: installed, upgraded, shown in OBS Studio and purged in $SECONDS s"
exit $failed
