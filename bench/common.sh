# Shared pieces of the benchmark scripts (source it). Starts the simulated robot, daemons and
# minimal responders behind spawn-fcgi, one nginx in front, and runs wrk pinned:
# the load generator on CPU 0, the server stack on CPU 1.
#
#   bench_init [TARGETS...]          build webgated, minimal_responder and TARGETS, make $BENCH_DIR, clean up on exit
#   start_robotsim ADDR [ARGS...]    robotsim listening on ADDR (host:port)
#   start_frame_robot JPEG           a robot on $ROBOT_PORT publishing JPEG as "image0" and nine distance
#                                    readings at 10 Hz to every client that switched the topic on
#   start_daemon NAME ROBOT_ADDR     webgated under its own sandbox root, socket $BENCH_DIR/NAME.sock
#                                    (WEBGATED_BIN: another build of it, say the one before a change)
#   start_responder NAME FILE [PROG] minimal_responder (or PROG of bench/, say bare_responder) answering
#                                    FILE's bytes, socket $BENCH_DIR/NAME.sock
#   start_nginx NAME...              nginx on $BENCH_PORT; /NAME goes to NAME.sock; / serves $BENCH_DIR/www;
#                                    NAME_keep goes to NAME.sock through a keep-alive pool
#                                    (fastcgi_keep_conn on, upstream keepalive)
#   stop_nginx                       stops it (to start it again with other locations)
#   wrk_run URL CONNS                one wrk run; prints "rps p50_ms p99_ms"
#   compare URL_A URL_B CONNS PAIRS  alternates A and B; prints per-side medians and the median ratios
#   stand_in_dpkg SECONDS COUNT      $BENCH_DIR/bin/dpkg: waits SECONDS, then lists COUNT packages
#   start_demo_robot                 robotsim on a free port and the demo sandbox at $root (verbosity 0)
#   free_port                        a free TCP port on 127.0.0.1
#   rss_kb PID                       resident memory in kB
set -euo pipefail

BENCH_TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BENCH_BUILD=${BUILD_DIR:-$BENCH_TOP/build-bench}
WEBGATED_BIN=${WEBGATED_BIN:-$BENCH_BUILD/daemons/apps/webgated/webgated}
BENCH_SECONDS=${BENCH_SECONDS:-5}
BENCH_PIDS=()
LOAD_CPU=${LOAD_CPU:-0}
SERVER_CPU=${SERVER_CPU:-1}

bench_cleanup() {
    for pid in "${BENCH_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ -n "${BENCH_DIR:-}" ] && rm -rf "$BENCH_DIR"
}

bench_init() {
    sh "$BENCH_TOP/tools/scripts/install-deps.sh"
    cmake -S "$BENCH_TOP" -B "$BENCH_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$BENCH_BUILD" -j2 --target webgated minimal_responder "$@" >/dev/null
    BENCH_DIR=$(mktemp -d /tmp/webgated-bench.XXXXXX)
    chmod 755 "$BENCH_DIR"
    mkdir -p "$BENCH_DIR/www"
    BENCH_PORT=${BENCH_PORT:-$(free_port)}
    trap bench_cleanup EXIT INT TERM
}

wait_for_socket() {
    for _ in $(seq 100); do [ -S "$1" ] && return 0; sleep 0.05; done
    echo "no socket $1" >&2
    return 1
}

start_robotsim() {
    local addr=$1
    shift
    taskset -c "$SERVER_CPU" "$BENCH_BUILD/tools/robotsim/robotsim" --listen "$addr" "$@" >"$BENCH_DIR/robotsim.out" 2>&1 &
    BENCH_PIDS+=($!)
    ROBOTSIM_PID=$!
}

stand_in_dpkg() {
    mkdir -p "$BENCH_DIR/bin"
    cat >"$BENCH_DIR/bin/dpkg" <<TOOL
#!/bin/sh
sleep $1
printf 'Desired=Unknown\n||/ Name Version Architecture Description\n+++-====-====-====-====\n'
for i in \$(seq 1 $2); do echo "ii  package\$i  1.\$i  amd64  package number \$i"; done
TOOL
    chmod 755 "$BENCH_DIR/bin/dpkg"
}

start_demo_robot() {
    robot_port=$(free_port)
    start_robotsim "127.0.0.1:$robot_port"
    root=$BENCH_DIR/root-webgated
    "$BENCH_TOP/tools/scripts/prepare-sandbox.sh" "$root" "127.0.0.1:$robot_port" demo
    sed -i 's/^verbosity=.*/verbosity=0/' "$root/etc/corvanta/webgated.conf"
}

start_frame_robot() {
    ROBOT_PORT=$(free_port)
    taskset -c "$SERVER_CPU" python3 - "$ROBOT_PORT" "$1" >"$BENCH_DIR/robot.out" 2>&1 <<'PY' &
import base64, json, socket, sys, threading, time
port, frame_file = int(sys.argv[1]), sys.argv[2]
frame = base64.b64encode(open(frame_file, "rb").read()).decode()
def message(topic, args):
    return (json.dumps({"op": "publish", "topic": topic, "args": args}, separators=(",", ":")) + "\n").encode()
publish = {"image0": message("image0", [frame, 640, 480, 0, "mjpg"]),
           "distance_sensors": message("distance_sensors", [0.1, 0.25, 0.5, 0.75, 1.0, 1.25, 1.5, 2.0, 4.0])}
lock = threading.Lock()
watching = {}
def serve(conn):
    for line in conn.makefile("rb"):
        try:
            m = json.loads(line)
        except ValueError:
            continue
        if isinstance(m, dict) and m.get("op") == "enable" and m.get("topic") in publish:
            with lock:
                watching.setdefault(conn, set())
                (watching[conn].add if m.get("on") else watching[conn].discard)(m["topic"])
    with lock:
        watching.pop(conn, None)
def tick():
    while True:
        time.sleep(0.1)
        with lock:
            targets = [(c, set(t)) for c, t in watching.items()]
        for conn, topics in targets:
            for topic in topics:
                try:
                    conn.sendall(publish[topic])
                except OSError:
                    pass
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", port))
server.listen()
threading.Thread(target=tick, daemon=True).start()
while True:
    conn, _ = server.accept()
    threading.Thread(target=serve, args=(conn,), daemon=True).start()
PY
    BENCH_PIDS+=($!)
}

start_daemon() {
    local name=$1 robot=$2
    local root=$BENCH_DIR/root-$name
    "$BENCH_TOP/tools/scripts/prepare-sandbox.sh" "$root" "$robot"
    # Quiet log: the benchmark measures requests, not log writing.
    sed -i 's/^verbosity=.*/verbosity=0/' "$root/etc/corvanta/webgated.conf"
    WEBGATED_ROOT=$root taskset -c "$SERVER_CPU" spawn-fcgi -n -s "$BENCH_DIR/$name.sock" -M 0666 \
        -d "$BENCH_TOP" -- "$WEBGATED_BIN" >"$BENCH_DIR/$name.out" 2>&1 &
    BENCH_PIDS+=($!)
    DAEMON_PID=$!
    wait_for_socket "$BENCH_DIR/$name.sock"
}

start_responder() {
    local name=$1 file=$2 program=${3:-minimal_responder}
    taskset -c "$SERVER_CPU" spawn-fcgi -n -s "$BENCH_DIR/$name.sock" -M 0666 -- \
        "$BENCH_BUILD/bench/$program" "$file" >"$BENCH_DIR/$name.out" 2>&1 &
    BENCH_PIDS+=($!)
    wait_for_socket "$BENCH_DIR/$name.sock"
}

start_nginx() {
    local conf=$BENCH_DIR/nginx.conf locations="" user_line=""
    [ "$(id -u)" = 0 ] && user_line="user root;"
    local upstreams=""
    for name in "$@"; do
        if [ "${name%_keep}" != "$name" ]; then
            upstreams="$upstreams upstream $name { server unix:$BENCH_DIR/${name%_keep}.sock; keepalive 8; }"
            locations="$locations location = /$name { fastcgi_pass $name; fastcgi_keep_conn on; fastcgi_param QUERY_STRING \$query_string; }"
        else
            locations="$locations location = /$name { fastcgi_pass unix:$BENCH_DIR/$name.sock; fastcgi_param QUERY_STRING \$query_string; }"
        fi
    done
    mkdir -p "$BENCH_DIR/nginx"
    cat >"$conf" <<CONF
$user_line
worker_processes 1;
daemon off;
error_log $BENCH_DIR/nginx/error.log warn;
pid $BENCH_DIR/nginx/nginx.pid;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $BENCH_DIR/nginx/body;
    fastcgi_temp_path $BENCH_DIR/nginx/fastcgi;
    proxy_temp_path $BENCH_DIR/nginx/proxy;
    uwsgi_temp_path $BENCH_DIR/nginx/uwsgi;
    scgi_temp_path $BENCH_DIR/nginx/scgi;
    $upstreams
    server {
        listen 127.0.0.1:$BENCH_PORT;
        $locations
        location / { root $BENCH_DIR/www; }
    }
}
CONF
    taskset -c "$SERVER_CPU" nginx -p "$BENCH_DIR/nginx" -c "$conf" 2>>"$BENCH_DIR/nginx/error.log" &
    BENCH_PIDS+=($!)
    NGINX_PID=$!
    for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$BENCH_PORT/" && return 0; sleep 0.05; done
    echo "nginx did not start" >&2
    return 1
}

stop_nginx() {
    kill "$NGINX_PID" 2>/dev/null || true
    wait "$NGINX_PID" 2>/dev/null || true
}

# wrk's latency figures in milliseconds.
to_ms() {
    awk -v v="$1" 'BEGIN {
        if (v ~ /us$/) { sub(/us$/, "", v); print v / 1000 }
        else if (v ~ /ms$/) { sub(/ms$/, "", v); print v + 0 }
        else if (v ~ /s$/) { sub(/s$/, "", v); print v * 1000 }
        else print v }'
}

wrk_run() {
    local url=$1 conns=$2 out
    out=$(taskset -c "$LOAD_CPU" wrk -t1 -c"$conns" -d"${BENCH_SECONDS}s" --latency "$url")
    local rps p50 p99 errors
    rps=$(echo "$out" | awk '/^Requests\/sec/ { print $2 }')
    p50=$(to_ms "$(echo "$out" | awk '$1 == "50%" { print $2 }')")
    p99=$(to_ms "$(echo "$out" | awk '$1 == "99%" { print $2 }')")
    errors=$(echo "$out" | awk '/Non-2xx|Socket errors/ { print }')
    [ -n "$errors" ] && echo "wrk reported: $errors" >&2
    echo "$rps $p50 $p99"
}

median() { sort -g | awk '{ a[NR] = $1 } END { if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

# Alternates the two sides PAIRS times; prints medians of each side and of the pair ratios A/B
# (rate) and A/B (p99), with the worst pair of each.
compare() {
    local a=$1 b=$2 conns=$3 pairs=${4:-3}
    local ra=() rb=() rate_ratios=() p99_ratios=() pa=() pb=()
    for _ in $(seq "$pairs"); do
        read -r rps_a _ p99_a < <(wrk_run "$a" "$conns")
        read -r rps_b _ p99_b < <(wrk_run "$b" "$conns")
        ra+=("$rps_a"); rb+=("$rps_b"); pa+=("$p99_a"); pb+=("$p99_b")
        rate_ratios+=("$(awk -v x="$rps_a" -v y="$rps_b" 'BEGIN { printf "%.3f", x / y }')")
        p99_ratios+=("$(awk -v x="$p99_a" -v y="$p99_b" 'BEGIN { printf "%.3f", (y > 0 ? x / y : 0) }')")
    done
    printf '  %-10s rps %-9s p99 %-7s ms\n' "A" "$(printf '%s\n' "${ra[@]}" | median)" "$(printf '%s\n' "${pa[@]}" | median)"
    printf '  %-10s rps %-9s p99 %-7s ms\n' "B" "$(printf '%s\n' "${rb[@]}" | median)" "$(printf '%s\n' "${pb[@]}" | median)"
    printf '  ratio A/B  rate %s (lowest %s)   p99 %s (highest %s)   (median of %s pairs)\n' \
        "$(printf '%s\n' "${rate_ratios[@]}" | median)" "$(printf '%s\n' "${rate_ratios[@]}" | sort -g | head -1)" \
        "$(printf '%s\n' "${p99_ratios[@]}" | median)" "$(printf '%s\n' "${p99_ratios[@]}" | sort -g | tail -1)" "$pairs"
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
