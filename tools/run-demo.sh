#!/usr/bin/env bash
# Builds webgated and runs it for real: the simulated robot, the daemon under a sandbox root
# (./sandbox) and nginx on 127.0.0.1:8080 in front with the packaged snippet. Ctrl-C stops all of it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
sh "$top/tools/scripts/install-deps.sh"
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2 --target webgated robotsim

port=${WEBGATED_PORT:-8080}
sim=127.0.0.1:${ROBOTSIM_PORT:-12080}
sandbox=$top/sandbox
rm -rf "$sandbox"
"$top/tools/scripts/prepare-sandbox.sh" "$sandbox" "$sim" demo

pids=()
cleanup() {
    trap - EXIT INT TERM
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    echo "stopped"
}
trap cleanup EXIT INT TERM

"$build/tools/robotsim/robotsim" --listen "$sim" >"$sandbox/run/robotsim.out" 2>&1 &
pids+=($!)
# spawn-fcgi -n becomes the daemon, with the listening socket as its standard input. The
# working directory is the checkout, where ./resources/nocam.png lives.
WEBGATED_ROOT=$sandbox spawn-fcgi -n -s "$sandbox/run/webgated.sock" -M 0666 -d "$top" -- \
    "$build/daemons/apps/webgated/webgated" >"$sandbox/run/webgated.out" 2>&1 &
pids+=($!)
mkdir -p "$sandbox/run/nginx"
# The packaged nginx snippet, in a server block like Debian's default site.
"$top/tools/scripts/nginx-conf.sh" "$sandbox/run/nginx" "$port" "$sandbox/run/webgated.sock" \
    "$sandbox/usr/share/webgated/www" "$sandbox/var/www" >"$sandbox/run/nginx/nginx.conf"
nginx -p "$sandbox/run/nginx" -c "$sandbox/run/nginx/nginx.conf" 2>>"$sandbox/run/nginx/error.log" &
pids+=($!)

for _ in $(seq 50); do
    curl -s -o /dev/null "http://127.0.0.1:$port/" && break
    sleep 0.1
done
url="http://127.0.0.1:$port/webgated"
cat <<TEXT

The robot's page: http://127.0.0.1:$port/
webgated is running at $url (robot simulated at $sim, files under $sandbox)
Log: $sandbox/var/log/webgated   Ctrl-C stops everything.

Try:
  curl -g '$url?{%22TYPE%22:%22getDistance%22}'
  curl -g '$url?{%22TYPE%22:%22velDrive%22,%22vx%22:0.1,%22vy%22:0,%22omega%22:0}'
  curl -g -o camera.jpg '$url?{%22TYPE%22:%22getimage%22}'
TEXT
wait
