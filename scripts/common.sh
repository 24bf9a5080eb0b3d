# Shared by the set-up commands: installs missing Debian packages and
# builds the project. Sourced, not run.

QM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Packages that building the module and the controller needs.
QM_BUILD_PACKAGES=(cmake g++ make pkg-config libobs-dev
	libopencv-dev libzxing-dev nlohmann-json3-dev)

# Packages that a headless libobs host needs: an X server and Mesa's GL.
QM_HOST_PACKAGES=("${QM_BUILD_PACKAGES[@]}" libx11-dev xvfb xauth
	libgl1-mesa-dri libegl-mesa0 libegl1 libgles2 zlib1g-dev)

# Packages the whole test suite needs: GoogleTest, the sanitizer and
# fuzzing runtimes, the Windows cross compiler, OBS Studio itself, and a
# compiler cache.
QM_TEST_PACKAGES=("${QM_HOST_PACKAGES[@]}" libgtest-dev clang clang-format
	libclang-rt-14-dev g++-mingw-w64-x86-64-posix libsimde-dev llvm obs-studio xdotool
	mingw-w64-tools zip wine wine64 ccache)

# Packages that building the Windows module needs (scripts/build-windows).
QM_WINDOWS_PACKAGES=(cmake make g++-mingw-w64-x86-64-posix mingw-w64-tools
	libobs-dev libsimde-dev zip)

# Packages that the controller's detectors need: OpenCV, Tesseract with its
# English model and libphonenumber; python3-onnx and numpy convert the
# models, npm fetches them. Node.js builds from elsewhere bring their own
# npm, which Debian's npm package conflicts with: it is added only when
# npm is missing.
QM_DETECTOR_PACKAGES=(libopencv-dev libtesseract-dev tesseract-ocr-eng
	libphonenumber-dev python3-onnx python3-numpy)
command -v npm >/dev/null 2>&1 || QM_DETECTOR_PACKAGES+=(npm)

# The detector tests build their pictures from the photos of opencv-doc
# and the fonts of fonts-dejavu-core and fonts-liberation; the package
# test makes a .deb with dpkg-dev's tools.
QM_TEST_PACKAGES+=("${QM_DETECTOR_PACKAGES[@]}" opencv-doc fonts-dejavu-core
	fonts-liberation dpkg-dev)

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
	# Another apt on the machine (another run of these scripts) holds the
	# lock a while: wait for it rather than fail.
	local wait=(-o DPkg::Lock::Timeout=600)
	"${sudo[@]}" apt-get "${wait[@]}" update -qq
	DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get "${wait[@]}" \
		install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# qm_fetch_obs_runtime DIR: the Windows libobs runtime (npm package
# noobs, pinned with its SHA-256 in scripts/obs-runtime.sha256), unpacked
# into DIR/package. Fetched once; a tarball that does not match is refused.
qm_fetch_obs_runtime() {
	local dir=$1
	local pin="$QM_ROOT/scripts/obs-runtime.sha256"
	local tarball
	tarball=$(awk '{print $2}' "$pin")
	local name=${tarball%.tgz}
	mkdir -p "$dir"
	if [ -f "$dir/package/.unpacked" ]; then
		return 0
	fi
	if [ ! -f "$dir/$tarball" ]; then
		echo "== Fetching ${name%-*}@${name##*-} with npm"
		(cd "$dir" && npm pack --silent "${name%-*}@${name##*-}" >/dev/null)
	fi
	if ! (cd "$dir" && sha256sum --quiet -c "$pin"); then
		echo "$dir/$tarball does not match $pin; removed" >&2
		rm -f "$dir/$tarball"
		return 1
	fi
	rm -rf "$dir/package"
	tar -xzf "$dir/$tarball" -C "$dir"
	touch "$dir/package/.unpacked"
}

# qm_build DIR [cmake options...]
qm_build() {
	local dir=$1
	shift
	# A compiler cache, where there is one, serves the next clone too:
	# paths under the checkout are hashed relative to it.
	local cache=()
	if command -v ccache >/dev/null; then
		cache=(-DCMAKE_C_COMPILER_LAUNCHER=ccache
			-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
		export CCACHE_BASEDIR="$QM_ROOT" CCACHE_NOHASHDIR=1
	fi
	cmake -S "$QM_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		"${cache[@]}" "$@" >/dev/null
	cmake --build "$dir" -j "$(nproc)"
}

# Runs a command on a fresh headless X server.
qm_headless() {
	xvfb-run -a -s "-screen 0 1280x720x24" "$@"
}
