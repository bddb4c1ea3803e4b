#!/usr/bin/env bash
# The request path against the FastCGI limit, in one run: the unknown-command reply, getDistance
# and getimage (a camera frame of 40 to 70 KB flowing at 10 Hz), each against a responder with
# no library at all (bench/bare_responder.cpp) writing the very bytes the daemon answered, behind
# the same nginx.
#   1. instructions per request under callgrind (repeatable on a loaded machine): the daemon's
#      request thread and all its threads, against the responder; where the request thread's go;
#      and system calls per request under strace (SYSCALL_REQUESTS, default 2000, 0 skips them)
#   2. rate and p99 ratios at 1 and 4 connections (pinned, alternating pairs, median), and the
#      same for the responder against itself: the noise any ratio carries on this machine
#   3. resident memory after 100,000 mixed requests with camera frames flowing
#   PAIRS (default 5, 0 skips 2.)  BENCH_SECONDS (default 5)  PROFILE_REQUESTS (default 2000, 0 skips 1.)  KEEP_PROFILE (a folder for the
#   request thread's callgrind files)
#   FRAME_QUALITY (default 84: a frame of about 66 KB)  MEMORY_REQUESTS (default 100000, 0 skips 3.)
source "$(dirname "$0")/common.sh"
bench_init robotsim image_encode_bench bare_responder
SYSCALL_REQUESTS=${SYSCALL_REQUESTS:-2000}
PAIRS=${PAIRS:-5}
PROFILE_REQUESTS=${PROFILE_REQUESTS:-2000}
MEMORY_REQUESTS=${MEMORY_REQUESTS:-100000}
echo "load before: $(uptime)"

frame_bytes=$("$BENCH_BUILD/bench/image_encode_bench" --write-frame "$BENCH_DIR/frame.jpg" "${FRAME_QUALITY:-84}")

# A robot that publishes nine distance readings and the camera frame at 10 Hz.
start_frame_robot "$BENCH_DIR/frame.jpg"

start_daemon webgated "127.0.0.1:$ROBOT_PORT"
start_nginx webgated
base="http://127.0.0.1:$BENCH_PORT"
commands=(unknown distance image)
declare -A queries=(
    [unknown]='?%7B%22TYPE%22:%22noSuchCommand%22%7D'
    [distance]='?%7B%22TYPE%22:%22getDistance%22%7D'
    [image]='?%7B%22TYPE%22:%22getimage%22%7D')

# The first getimage switches the camera on; wait for the frame and the readings.
for _ in $(seq 100); do
    curl -s -o "$BENCH_DIR/daemon.jpg" "$base/webgated${queries[image]}"
    cmp -s "$BENCH_DIR/daemon.jpg" "$BENCH_DIR/frame.jpg" && curl -s "$base/webgated${queries[distance]}" | grep -q '"dist":\[53.9' && break
    sleep 0.1
done
cmp -s "$BENCH_DIR/daemon.jpg" "$BENCH_DIR/frame.jpg" || { echo "the daemon does not serve the frame" >&2; exit 1; }
# Each responder writes what the daemon answered: the header lines and the body.
for c in "${commands[@]}"; do
    url="$base/webgated${queries[$c]}"
    if [ "$c" = image ]; then
        # The frame itself: the daemon answers the no-camera picture while the camera is off.
        { printf 'Content-Type: image/jpeg \r\n\r\n'; cat "$BENCH_DIR/frame.jpg"; } >"$BENCH_DIR/$c.response"
        start_responder "min$c" "$BENCH_DIR/$c.response" bare_responder
        continue
    fi
    python3 - "$url" "$BENCH_DIR/$c.response" <<'PY'
import sys, urllib.request
with urllib.request.urlopen(sys.argv[1]) as r:
    body = r.read()
    ctype = r.headers["Content-Type"]
# The daemon's own header line, as nginx passed it on (getimage's ends in a space).
header = {"text/html": b"Content-type: text/html\r\n\r\n"}.get(ctype, ("Content-Type: %s \r\n\r\n" % ctype).encode())
open(sys.argv[2], "wb").write(header + body)
PY
    start_responder "min$c" "$BENCH_DIR/$c.response" bare_responder
done
stop_nginx
start_nginx webgated mindistance minunknown minimage
# The same bytes but for bumpTime; after a pause, the first getimage may find the camera off.
same_reply() {
    cmp -s <(curl -s -D - "$base/webgated${queries[$1]}" | grep -av '^Date:' | sed 's/"bumpTime":[0-9]*//') \
           <(curl -s -D - "$base/min$1${queries[$1]}" | grep -av '^Date:' | sed 's/"bumpTime":[0-9]*//')
}
for c in "${commands[@]}"; do
    for _ in $(seq 50); do same_reply "$c" && break; sleep 0.1; done
    if ! same_reply "$c"; then
        echo "the two sides do not answer the same bytes for $c:" >&2
        for side in webgated "min$c"; do
            curl -s -D - "$base/$side${queries[$c]}" | grep -av '^Date:' | head -c 240 | od -c | head -8 >&2 || true
        done
        exit 1
    fi
done
echo "replies: unknown $(($(wc -c <"$BENCH_DIR/unknown.response"))) B, getDistance" \
    "$(wc -c <"$BENCH_DIR/distance.response") B, getimage $(wc -c <"$BENCH_DIR/image.response") B (frame $frame_bytes B)"

# Exactly N requests of one URL path through one connection.
requests() {
    python3 - "$BENCH_PORT" "$1" "$2" <<'PY'
import http.client, sys
port, path, n = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
c = http.client.HTTPConnection("127.0.0.1", port)
for _ in range(n):
    c.request("GET", path); r = c.getresponse(); r.read()
    assert r.status == 200, r.status
PY
}

if [ "$PROFILE_REQUESTS" -gt 0 ]; then
    apt_missing=$(dpkg-query -W -f='${Status}' valgrind 2>/dev/null | grep -c "install ok installed" || true)
    [ "$apt_missing" = 1 ] || { echo "valgrind is needed for the profile" >&2; exit 1; }
    # The same programs under callgrind, on sockets of their own.
    profiled() {
        local name=$1
        shift
        taskset -c "$SERVER_CPU" spawn-fcgi -n -s "$BENCH_DIR/$name.sock" -M 0666 -d "$BENCH_TOP" -- \
            /usr/bin/valgrind --tool=callgrind --separate-threads=yes \
            --callgrind-out-file="$BENCH_DIR/$name.cg.%p" "$@" >"$BENCH_DIR/$name.out" 2>&1 &
        BENCH_PIDS+=($!)
        PROFILED_PIDS+=($!)
        wait_for_socket "$BENCH_DIR/$name.sock"
    }
    PROFILED_PIDS=()
    sandbox=$BENCH_DIR/root-webgated
    WEBGATED_ROOT=$sandbox profiled cgdaemon "$WEBGATED_BIN"
    for c in "${commands[@]}"; do profiled "cg$c" "$BENCH_BUILD/bench/bare_responder" "$BENCH_DIR/$c.response"; done
    stop_nginx
    start_nginx webgated mindistance minunknown minimage cgdaemon cgunknown cgdistance cgimage
    for _ in $(seq 300); do
        curl -s "$base/cgdaemon${queries[image]}" | cmp -s - "$BENCH_DIR/frame.jpg" && break
        sleep 0.2
    done
    # Instructions of all threads, and of the request thread (the one that ran the loop),
    # between a zeroing and a dump.
    dump_ir() {
        local pid=$1 tag=$2 all=0 request=0
        rm -f "$BENCH_DIR"/*.cg."$pid"*-*
        callgrind_control -d "$tag" "$pid" >/dev/null 2>&1
        for f in "$BENCH_DIR"/*.cg."$pid".*-*; do
            local ir
            ir=$(awk '/^(summary|totals):/ { print $2; exit }' "$f")
            all=$((all + ${ir:-0}))
            grep -q 'serveConnections\|serveRequest\|FcgiConnection' "$f" && request=$((request + ${ir:-0})) && cp "$f" "$BENCH_DIR/request-$tag.cg"
        done
        echo "$all $request"
    }
    pid_of() { pgrep -f -n -- "callgrind-out-file=$BENCH_DIR/$1.cg"; }
    echo
    echo "instructions per request under callgrind ($PROFILE_REQUESTS sequential requests, one connection):"
    echo "  (daemon: its request thread; all threads adds the main thread's work on arriving frames)"
    printf '  %-10s %12s %14s %12s %12s\n' command responder "daemon thread" ratio "all threads"
    daemon_pid=$(pid_of cgdaemon)
    for c in "${commands[@]}"; do
        responder_pid=$(pid_of "cg$c")
        requests "/cgdaemon${queries[$c]}" 100
        requests "/cg$c${queries[$c]}" 100
        callgrind_control -z "$daemon_pid" >/dev/null 2>&1
        callgrind_control -z "$responder_pid" >/dev/null 2>&1
        requests "/cgdaemon${queries[$c]}" "$PROFILE_REQUESTS"
        read -r d_all d_req < <(dump_ir "$daemon_pid" "$c")
        requests "/cg$c${queries[$c]}" "$PROFILE_REQUESTS"
        read -r r_all _ < <(dump_ir "$responder_pid" "$c")
        printf '  %-10s %12d %14d %12.2f %12d\n' "$c" $((r_all / PROFILE_REQUESTS)) \
            $((d_req / PROFILE_REQUESTS)) "$(awk -v a="$d_req" -v b="$r_all" 'BEGIN { print a / b }')" \
            $((d_all / PROFILE_REQUESTS))
    done
    for c in "${commands[@]}"; do
        echo "  where the request thread's instructions go, $c (inclusive, per request):"
        callgrind_annotate --inclusive=yes --threshold=100 "$BENCH_DIR/request-$c.cg" 2>/dev/null |
            awk -v n="$PROFILE_REQUESTS" '/^ *[0-9,]+ \(/ && !/PROGRAM TOTALS|clone|start_thread|\?\?\?:0x|Fcgi::run|\.h:/ && c < 16 {
                v = $1; gsub(",", "", v); $1 = ""; $2 = ""; sub(/^ +/, ""); sub(/ \[.*$/, ""); sub(/^[^:]*:/, "")
                printf "    %8d  %s\n", v / n, substr($0, 1, 90); c++ }'
        [ -n "${KEEP_PROFILE:-}" ] && mkdir -p "$KEEP_PROFILE" && cp "$BENCH_DIR/request-$c.cg" "$KEEP_PROFILE/"
    done
    # The programs under callgrind would take the server CPU from the runs that follow.
    for pid in "${PROFILED_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    echo
fi

if [ "$SYSCALL_REQUESTS" -gt 0 ]; then
    command -v strace >/dev/null || { echo "strace is needed for the system calls" >&2; exit 1; }
    # System calls of every thread of PID while N requests of PATH go through one client connection.
    syscalls() {
        local pid=$1 path=$2 out=$BENCH_DIR/strace.out
        strace -f -c -p "$pid" -o "$out" 2>/dev/null &
        local tracer=$!
        for _ in $(seq 100); do
            ! grep -q '^TracerPid:[[:space:]]*0$' /proc/"$pid"/task/*/status && break
            sleep 0.05
        done
        requests "$path" "$SYSCALL_REQUESTS"
        kill -INT "$tracer"
        wait "$tracer" 2>/dev/null || true
        awk '$NF == "total" { print $4 }' "$out"
        awk 'NR > 2 && $NF != "total" && $1 !~ /^-/ { printf " %s %s", $NF, $4 }' "$out" >"$BENCH_DIR/strace.calls"
    }
    stop_nginx
    start_nginx webgated minunknown webgated_keep
    responder_pid=$(pgrep -f -n -- "bare_responder $BENCH_DIR/unknown.response")
    echo "system calls per request, unknown command ($SYSCALL_REQUESTS sequential requests; all threads):"
    for side in "webgated $DAEMON_PID" "webgated_keep $DAEMON_PID" "minunknown $responder_pid"; do
        read -r location pid <<<"$side"
        total=$(syscalls "$pid" "/$location${queries[unknown]}")
        printf '  %-14s %6.2f   (%s)\n' "$location" "$(awk -v t="$total" -v n="$SYSCALL_REQUESTS" 'BEGIN { print t / n }')" \
            "$(awk -v n="$SYSCALL_REQUESTS" '{ for (i = 1; i < NF; i += 2) printf "%s %.2f ", $i, $(i + 1) / n }' "$BENCH_DIR/strace.calls")"
    done
    echo "  (webgated: a connection per request, as the packaged nginx snippet; webgated_keep: nginx's keep-alive pool;"
    echo "   minunknown: the responder without a library, a connection per request)"
    stop_nginx
    start_nginx webgated mindistance minunknown minimage
    echo
fi

if [ "$PAIRS" -gt 0 ]; then
    echo "A = webgated, B = the responder without a library writing the same bytes; ${BENCH_SECONDS}s per run, $PAIRS pairs"
    for c in "${commands[@]}"; do
        for conns in 1 4; do
            echo "$c, $conns connection(s):"
            compare "$base/webgated${queries[$c]}" "$base/min$c${queries[$c]}" "$conns" "$PAIRS"
        done
    done
fi

if [ "$PAIRS" -gt 0 ]; then
    # What the machine's own noise does to a ratio: the responder against a second copy of itself.
    start_responder minunknown2 "$BENCH_DIR/unknown.response" bare_responder
    stop_nginx
    start_nginx webgated minunknown minunknown2
    for conns in 1 4; do
        echo "noise: the responder against itself (unknown), $conns connection(s):"
        compare "$base/minunknown${queries[unknown]}" "$base/minunknown2${queries[unknown]}" "$conns" "$PAIRS"
    done
fi

if [ "$MEMORY_REQUESTS" -gt 0 ]; then
    echo "memory (VmRSS of the daemon), mixed requests through 4 connections, frames flowing:"
    echo "  before               $(rss_kb "$DAEMON_PID") kB"
    done_requests=0
    for part in $((MEMORY_REQUESTS / 10)) $((MEMORY_REQUESTS - MEMORY_REQUESTS / 10)); do
        python3 - "$BENCH_PORT" "$part" "${queries[unknown]}" "${queries[distance]}" "${queries[image]}" <<'PY'
import http.client, sys, threading
port, total, paths = int(sys.argv[1]), int(sys.argv[2]), ["/webgated" + q for q in sys.argv[3:]]
def worker(n, k):
    c = http.client.HTTPConnection("127.0.0.1", port)
    for i in range(n):
        c.request("GET", paths[(i + k) % len(paths)]); c.getresponse().read()
threads = [threading.Thread(target=worker, args=(total // 4, k)) for k in range(4)]
[t.start() for t in threads]; [t.join() for t in threads]
PY
        done_requests=$((done_requests + part))
        echo "  after $done_requests requests  $(rss_kb "$DAEMON_PID") kB"
    done
fi
echo "load after: $(uptime)"
