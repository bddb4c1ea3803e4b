#!/usr/bin/env bash
# The camera image. First getimage through nginx for a 640 x 480 "mjpg" frame of about 40 KB:
# the daemon against the minimal libfcgi responder writing the same bytes, with nginx serving
# the frame as a static file as the ceiling. Then the time to encode a 640 x 480 "rgb24" frame:
# ImageDecoder against libjpeg-turbo called in-process at the same quality (75).
#   PAIRS (default 3)  alternating runs per comparison;  BENCH_SECONDS (default 5)  per wrk run
source "$(dirname "$0")/common.sh"
bench_init image_encode_bench

# The frame: the simulated camera's picture with sensor noise, as a JPEG of about 40 KB.
frame_bytes=$("$BENCH_BUILD/bench/image_encode_bench" --write-frame "$BENCH_DIR/frame.jpg")

# A robot whose camera sends that frame at 10 Hz to every client that switched "image0" on.
start_frame_robot "$BENCH_DIR/frame.jpg"

start_daemon webgated "127.0.0.1:$ROBOT_PORT"
{ printf 'Content-Type: image/jpeg \r\n\r\n'; cat "$BENCH_DIR/frame.jpg"; } >"$BENCH_DIR/minimal.response"
start_responder minimal "$BENCH_DIR/minimal.response"
RESPONDER_PID=${BENCH_PIDS[-1]}
cp "$BENCH_DIR/frame.jpg" "$BENCH_DIR/www/frame.jpg"
start_nginx webgated minimal

query='?%7B%22TYPE%22:%22getimage%22%7D'
daemon_url="http://127.0.0.1:$BENCH_PORT/webgated$query"
minimal_url="http://127.0.0.1:$BENCH_PORT/minimal$query"
static_url="http://127.0.0.1:$BENCH_PORT/frame.jpg"

# The first getimage switches the camera on; wait until the frame comes back unchanged.
for _ in $(seq 100); do
    curl -s -o "$BENCH_DIR/daemon.jpg" "$daemon_url"
    cmp -s "$BENCH_DIR/daemon.jpg" "$BENCH_DIR/frame.jpg" && break
    sleep 0.1
done
if ! cmp -s "$BENCH_DIR/daemon.jpg" "$BENCH_DIR/frame.jpg"; then
    echo "the daemon does not serve the frame" >&2
    exit 1
fi
if ! cmp -s <(curl -s -D - "$daemon_url" | grep -av "^Date:") <(curl -s -D - "$minimal_url" | grep -av "^Date:"); then
    echo "the two sides do not answer the same bytes" >&2
    exit 1
fi

echo "getimage, 640 x 480 mjpg frame of $frame_bytes bytes; ${BENCH_SECONDS}s per run"
echo "A = webgated, B = minimal libfcgi responder writing the same bytes"
for conns in 1 4; do
    echo "$conns connection(s):"
    compare "$daemon_url" "$minimal_url" "$conns" "${PAIRS:-3}"
done
# CPU time of the FastCGI process per request: steadier than the rate on a busy machine.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
cpu_per_request() {
    local url=$1 pid=$2 before out requests
    before=$(cpu_ticks "$pid")
    out=$(taskset -c "$LOAD_CPU" wrk -t1 -c4 -d"${BENCH_SECONDS}s" "$url")
    requests=$(echo "$out" | awk '/requests in/ { print $1 }')
    awk -v t="$(($(cpu_ticks "$pid") - before))" -v n="$requests" -v hz="$(getconf CLK_TCK)" \
        'BEGIN { printf "%.1f", t / hz * 1e6 / n }'
}
daemon_cpu=() minimal_cpu=()
for _ in $(seq "${PAIRS:-3}"); do
    daemon_cpu+=("$(cpu_per_request "$daemon_url" "$DAEMON_PID")")
    minimal_cpu+=("$(cpu_per_request "$minimal_url" "$RESPONDER_PID")")
done
echo "CPU of the FastCGI process per request, 4 connections (median): webgated" \
    "$(printf '%s\n' "${daemon_cpu[@]}" | median) us, minimal responder" \
    "$(printf '%s\n' "${minimal_cpu[@]}" | median) us"
read -r static_rps _ static_p99 < <(wrk_run "$static_url" 4)
echo "ceiling: nginx serving the frame as a static file, 4 connections: rps $static_rps p99 $static_p99 ms"

echo "encoding a 640 x 480 rgb24 frame (20 interleaved repetitions, CPU time):"
taskset -c "$SERVER_CPU" "$BENCH_BUILD/bench/image_encode_bench" --benchmark_repetitions=20 \
    --benchmark_enable_random_interleaving=true --benchmark_format=json 2>/dev/null | python3 -c '
import json, statistics, sys
runs = {}
for b in json.load(sys.stdin)["benchmarks"]:
    if b.get("run_type") == "iteration":
        runs.setdefault(b["run_name"], []).append(b)
ours, ref = runs["BM_ImageDecoderRgb24"], runs["BM_LibjpegTurboRgb24"]
def stats(r):
    times = [b["cpu_time"] for b in r]
    return min(times), statistics.median(times), int(r[0]["jpeg_bytes"])
for name, r in (("ImageDecoder", ours), ("libjpeg-turbo", ref)):
    print("  %-14s min %.3f ms  median %.3f ms  (%d bytes)" % ((name,) + stats(r)))
# The minimum is the least disturbed by other processes on a shared core.
print("  ratio ImageDecoder / libjpeg-turbo  min %.3f  median %.3f" % (
    stats(ours)[0] / stats(ref)[0], stats(ours)[1] / stats(ref)[1]))
'
