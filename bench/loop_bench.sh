#!/usr/bin/env bash
# The request loop's speed and memory: the daemon answering a small query (an unknown command,
# answered by the loop alone) against a minimal libfcgi responder writing the same bytes, both
# behind the same nginx on the same socket kind; then the daemon's memory over 100,000 requests.
source "$(dirname "$0")/common.sh"
bench_init

# No robot: the loop answers this query without one.
start_daemon webgated "127.0.0.1:$(free_port)"
printf 'Content-type: text/html\r\n\r\n{"TYPE":"ERR","MSG":"UNKNOWN COMMAND"}' >"$BENCH_DIR/minimal.response"
start_responder minimal "$BENCH_DIR/minimal.response"
start_nginx webgated minimal

query='?%7B%22TYPE%22:%22noSuchCommand%22%7D'
daemon_url="http://127.0.0.1:$BENCH_PORT/webgated$query"
minimal_url="http://127.0.0.1:$BENCH_PORT/minimal$query"
if ! cmp -s <(curl -s "$daemon_url") <(curl -s "$minimal_url"); then
    echo "the two sides do not answer the same bytes" >&2
    exit 1
fi

sleep 1
idle=$(rss_kb "$DAEMON_PID")
echo "A = webgated, B = minimal libfcgi responder; ${BENCH_SECONDS}s per run"
for conns in 1 4; do
    echo "$conns connection(s):"
    compare "$daemon_url" "$minimal_url" "$conns" "${PAIRS:-3}"
done

echo "memory (VmRSS of the daemon):"
echo "  idle                 ${idle} kB"
taskset -c "$LOAD_CPU" wrk -t1 -c4 -d3s "$daemon_url" >/dev/null  # warm-up beyond the comparison runs
total=0
for target in 10000 90000; do
    # Exactly this many more requests, sequential-ish through 4 connections.
    python3 - "$BENCH_PORT" "$query" "$target" <<'PY'
import http.client, sys, threading
port, query, total = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
def worker(n):
    c = http.client.HTTPConnection("127.0.0.1", port)
    for _ in range(n):
        c.request("GET", "/webgated" + query); c.getresponse().read()
threads = [threading.Thread(target=worker, args=(total // 4,)) for _ in range(4)]
[t.start() for t in threads]; [t.join() for t in threads]
PY
    total=$((total + target))
    echo "  after $total more requests  $(rss_kb "$DAEMON_PID") kB"
done
