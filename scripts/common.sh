# Shared by the set-up commands: installs missing Debian packages and
# builds the project. Sourced, not run.

QM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Packages every build and test run needs.
QM_PACKAGES=(cmake g++ make pkg-config libobs-dev libgtest-dev libx11-dev
	xvfb xauth libgl1-mesa-dri libegl-mesa0 libegl1 libgles2 xz-utils)

qm_install_packages() {
	local missing=()
	local pkg
	for pkg in "$@"; do
		dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null |
			grep -q "install ok installed" || missing+=("$pkg")
	done
	[ ${#missing[@]} -eq 0 ] && return 0
	echo "Installing: ${missing[*]}"
	local sudo=()
	[ "$(id -u)" -eq 0 ] || sudo=(sudo)
	"${sudo[@]}" apt-get update -qq
	DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq \
		--no-install-recommends "${missing[@]}" >/dev/null
}

# qm_build DIR [cmake options...]
qm_build() {
	local dir=$1
	shift
	cmake -S "$QM_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
	cmake --build "$dir" -j "$(nproc)"
}

# Runs a command on a fresh headless X server.
qm_headless() {
	xvfb-run -a -s "-screen 0 1280x720x24" "$@"
}
