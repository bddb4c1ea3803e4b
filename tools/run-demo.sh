#!/usr/bin/env bash
# Builds webgated and runs it for real: the simulated robot, the daemon under a sandbox root
# (./sandbox) and nginx on 127.0.0.1 in front with the packaged snippet. Ctrl-C stops all of it.
#   WEBGATED_PORT  nginx's port on 127.0.0.1: the page and /webgated (default 8080)
#   ROBOTSIM_PORT  the simulated robot's RPC port on 127.0.0.1 (default 12080)
#   BUILD_DIR      build folder (default: build), built with run-tests.sh's flags (and its
#                  WEBGATED_CMAKE_ARGS) so that either reuses what the other built
# A port that another program holds ends the demo before it builds or starts anything; the
# banner comes only once the server on the port is shown to be this demo's own.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
port=${WEBGATED_PORT:-8080}
sim_port=${ROBOTSIM_PORT:-12080}
fail() {
    echo "run-demo.sh: $*" >&2
    exit 1
}

for p in "$port" "$sim_port"; do
    if ! [[ $p =~ ^[1-9][0-9]{0,4}$ ]] || ((p > 65535)); then fail "not a port number: '$p'"; fi
done
[ "$port" != "$sim_port" ] || fail "WEBGATED_PORT and ROBOTSIM_PORT are both $port"

# A connection that is not refused means another program listens there.
in_use() {
    local status=0
    timeout 2 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$0"' "$1" 2>/dev/null || status=$?
    [ "$status" -ne 1 ]
}
check_ports() {
    local taken=0
    if in_use "$port"; then
        echo "run-demo.sh: port $port on 127.0.0.1 (WEBGATED_PORT, the web server) is in use by another program" >&2
        taken=1
    fi
    if in_use "$sim_port"; then
        echo "run-demo.sh: port $sim_port on 127.0.0.1 (ROBOTSIM_PORT, the simulated robot) is in use by another program" >&2
        taken=1
    fi
    ((taken)) || return 0
    echo "run-demo.sh: nothing was started. Stop that program or choose free ports." >&2
    local next=$(((port > sim_port ? port : sim_port) + 1)) free=()
    while ((${#free[@]} < 2 && next <= 65535)); do
        in_use "$next" || free+=("$next")
        next=$((next + 1))
    done
    if ((${#free[@]} == 2)); then
        echo "run-demo.sh: free now: WEBGATED_PORT=${free[0]} ROBOTSIM_PORT=${free[1]} $0" >&2
    fi
    exit 1
}
check_ports

# One demo per checkout: a second one would wipe the sandbox under the first.
exec 9<"$top/tools/run-demo.sh"
flock -n 9 || fail "another run-demo.sh is running from $top (its sandbox is $top/sandbox)"

sh "$top/tools/scripts/install-deps.sh"
build=${BUILD_DIR:-$top/build}
"$top/tools/scripts/build.sh" "$build" webgated robotsim
check_ports  # again: the build took a while

sandbox=$top/sandbox
rm -rf "$sandbox"
"$top/tools/scripts/prepare-sandbox.sh" "$sandbox" "127.0.0.1:$sim_port" demo
mkdir -p "$sandbox/var/www/html" "$sandbox/run/nginx"
# Only this demo's nginx serves this file with this content.
token=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
echo "$token" >"$sandbox/var/www/html/demo-token.txt"

pids=()
stop_all() {
    trap - EXIT
    if ((${#pids[@]})); then
        kill "${pids[@]}" 2>/dev/null || true
        # The daemon sends the robot a standstill on its way out: a few seconds, then no more.
        for _ in $(seq 50); do
            local alive=0
            for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
            ((alive)) || break
            sleep 0.1
        done
        kill -KILL "${pids[@]}" 2>/dev/null || true
        wait 2>/dev/null || true
    fi
    echo "stopped"
}
trap stop_all EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Runs the check until it passes; gives up when process <pid> ends or after <seconds>.
wait_for() {
    local deadline=$((SECONDS + $1)) pid=$2
    shift 2
    until "$@"; do
        kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

"$build/tools/robotsim/robotsim" --listen "127.0.0.1:$sim_port" >"$sandbox/run/robotsim.out" 2>&1 9<&- &
sim=$!
pids+=("$sim")
# robotsim says so only once it listens: the daemon must never reach another program's robot.
sim_listens() { grep -q '^robotsim listening on' "$sandbox/run/robotsim.out"; }
wait_for 10 "$sim" sim_listens ||
    fail "the simulated robot could not listen on 127.0.0.1:$sim_port: $(cat "$sandbox/run/robotsim.out")"

# spawn-fcgi -n becomes the daemon, with the listening socket as its standard input. The
# working directory is the checkout, where ./resources/nocam.png lives.
WEBGATED_ROOT=$sandbox spawn-fcgi -n -s "$sandbox/run/webgated.sock" -M 0666 -d "$top" -- \
    "$build/daemons/apps/webgated/webgated" >"$sandbox/run/webgated.out" 2>&1 9<&- &
daemon=$!
pids+=("$daemon")
# The packaged nginx snippet, in a server block like Debian's default site.
"$top/tools/scripts/nginx-conf.sh" "$sandbox/run/nginx" "$port" "$sandbox/run/webgated.sock" \
    "$sandbox/usr/share/webgated/www" "$sandbox/var/www" >"$sandbox/run/nginx/nginx.conf"
nginx -p "$sandbox/run/nginx" -c "$sandbox/run/nginx/nginx.conf" 2>>"$sandbox/run/nginx/error.log" 9<&- &
web=$!
pids+=("$web")

url="http://127.0.0.1:$port/webgated"
own_server() { [ "$(curl -s --max-time 2 "http://127.0.0.1:$port/demo-token.txt")" = "$token" ]; }
wait_for 20 "$web" own_server ||
    fail "nginx does not serve this demo on 127.0.0.1:$port: $(tail -n 3 "$sandbox/run/nginx/error.log")"
daemon_answers() { [[ $(curl -s --max-time 2 -g "$url?{%22TYPE%22:%22HEARTBEAT%22}") == *ACK* ]]; }
wait_for 20 "$daemon" daemon_answers ||
    fail "the daemon does not answer: $(tail -n 5 "$sandbox/run/webgated.out")"

cat <<TEXT

The robot's page: http://127.0.0.1:$port/
webgated is running at $url (robot simulated at 127.0.0.1:$sim_port, files under $sandbox)
Log: $sandbox/var/log/webgated   Ctrl-C stops everything.

Try:
  curl -g '$url?{%22TYPE%22:%22getDistance%22}'
  curl -g '$url?{%22TYPE%22:%22velDrive%22,%22vx%22:0.1,%22vy%22:0,%22omega%22:0}'
  curl -g -o camera.jpg '$url?{%22TYPE%22:%22getimage%22}'
TEXT
wait -n "${pids[@]}" || true
fail "a part of the demo ended by itself; its output is in $sandbox/run"
