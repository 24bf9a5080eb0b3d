#!/usr/bin/env bash
# Runs one Windows program under Wine for the tests:
#   QM_WINE_PREFIX=DIR QM_OBS_RUNTIME=DIR tests/wine-run.sh PROGRAM [ARGS...]
# in the Wine prefix DIR (made by scripts/test-windows), with the Windows
# libobs runtime's DLLs on the search path and its effects folder in
# QM_OBS_DATA. Wine's debugger and its desktop integration are off, so that
# a crash fails at once instead of waiting in a debugger, and the run is
# bounded by QM_WINE_TIMEOUT seconds (default 600).
set -euo pipefail
: "${QM_WINE_PREFIX:?names the Wine prefix}"
: "${QM_OBS_RUNTIME:?names the Windows libobs runtime}"

# The Windows name of a Linux path: Wine shows the root as drive Z:.
windows_path() {
	local p
	p=$(cd "$1" && pwd)
	printf 'Z:%s' "${p//\//\\}"
}

export WINEPREFIX="$QM_WINE_PREFIX"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
WINEPATH="$(windows_path "$QM_OBS_RUNTIME/bin")"
# With forward slashes: libobs finds the files an effect includes in the
# folder before the effect file's last forward slash.
QM_OBS_DATA="Z:$(cd "$QM_OBS_RUNTIME/data/effects" && pwd)/"
export WINEPATH QM_OBS_DATA
exec timeout --kill-after=10 "${QM_WINE_TIMEOUT:-600}" \
	/usr/lib/wine/wine64 "$@"
