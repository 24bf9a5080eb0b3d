#!/usr/bin/env bash
# Runs a command beside a listener of another local user: the test
# helper stranger_listener.py as nobody, listening on COUNT loopback ports
# that the system chooses. The command finds them in its environment:
#   QM_STRANGER_PORTS   the ports, separated by blanks
#   QM_STRANGER_REPORT  the file where the listener reports what it saw
# Usage: with_stranger.sh COUNT COMMAND [ARGS...]
# Without root there is no other user to become: the command runs alone.
set -euo pipefail
count=${1:?usage: with_stranger.sh COUNT COMMAND [ARGS...]}
shift
if [ "$(id -u)" -ne 0 ]; then
	exec "$@"
fi

report=$(mktemp "${TMPDIR:-/tmp}/qm-stranger.XXXXXX")
ports=()
for ((i = 0; i < count; i++)); do ports+=(0); done
python3 "$(dirname "$0")/stranger_listener.py" nobody "${ports[@]}" \
	>"$report" &
stranger=$!
trap 'kill "$stranger" 2>/dev/null || true; wait "$stranger" 2>/dev/null || true; rm -f "$report"' EXIT

deadline=$((SECONDS + 30))
while [ "$(grep -c '^listening ' "$report" || true)" -lt "$count" ]; do
	if [ $SECONDS -ge $deadline ] || ! kill -0 "$stranger" 2>/dev/null; then
		echo "with_stranger.sh: the listener did not start" >&2
		exit 1
	fi
	sleep 0.1
done
QM_STRANGER_PORTS=$(awk '/^listening /{printf "%s%s", sep, $2; sep=" "}' "$report")
export QM_STRANGER_PORTS QM_STRANGER_REPORT=$report
status=0
"$@" || status=$?
exit $status
