#!/bin/sh
# run-demo.sh with one of its ports held by another server: it says which, ends non-zero, and has
# built and started nothing.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
listener=""
trap '[ -z "$listener" ] || kill "$listener"; rm -rf "$work"' EXIT
# The other server: it listens on one port the kernel picks and names a second, free one.
python3 -c '
import socket, sys, time
taken, free = socket.socket(), socket.socket()
taken.bind(("127.0.0.1", 0)); taken.listen()
free.bind(("127.0.0.1", 0))
print(taken.getsockname()[1], free.getsockname()[1], flush=True)
free.close()
time.sleep(600)' >"$work/ports" &
listener=$!
for _ in $(seq 100); do
    [ -s "$work/ports" ] && break
    sleep 0.1
done
read -r taken free <"$work/ports"

status=0
for ports in "WEBGATED_PORT=$taken ROBOTSIM_PORT=$free" "WEBGATED_PORT=$free ROBOTSIM_PORT=$taken"; do
    # In a session of its own, so that whatever it started can be found afterwards.
    code=0
    # shellcheck disable=SC2086
    env $ports BUILD_DIR="$work/build" timeout 60 setsid -w sh -c 'echo $$ >"$0"; exec "$@"' "$work/sid" \
        bash "$top/tools/run-demo.sh" >"$work/out" 2>&1 || code=$?
    left=$(pgrep -s "$(cat "$work/sid")" || true)
    if [ "$code" -eq 0 ] || [ "$code" -eq 124 ] || ! grep -q "port $taken on 127.0.0.1 (.*) is in use" "$work/out" ||
        [ -n "$left" ] || [ -e "$work/build" ]; then
        echo "with $ports: status $code, still running: '$left', output:" >&2
        cat "$work/out" >&2
        [ -z "$left" ] || kill $left
        status=1
    fi
done
exit $status
