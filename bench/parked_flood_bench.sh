#!/usr/bin/env bash
# How long stop and HEARTBEAT wait while a flood of updateCheck requests waits for a slow package
# tool: FLOOD requests at once (default 64, every connection the daemon serves), a tool that takes
# TOOL_SECONDS (default 20), and one second later stop and HEARTBEAT, each sent STOPS times 100 ms
# apart. Prints their latencies and how the flood was answered (waited for the tool, or refused
# at once). Target: stop under 100 ms, whatever waits.
#   WEBGATED_BIN   another build of the daemon (say the one before a change)
source "$(dirname "$0")/common.sh"
bench_init robotsim
FLOOD=${FLOOD:-64}
TOOL_SECONDS=${TOOL_SECONDS:-20}
STOPS=${STOPS:-20}

stand_in_dpkg "$TOOL_SECONDS" 1
start_demo_robot
PATH=$BENCH_DIR/bin:$PATH WEBGATED_ROOT=$root taskset -c "$SERVER_CPU" spawn-fcgi -n -s "$BENCH_DIR/webgated.sock" \
    -M 0666 -d "$BENCH_TOP" -- "$WEBGATED_BIN" >"$BENCH_DIR/webgated.out" 2>&1 &
BENCH_PIDS+=($!)
wait_for_socket "$BENCH_DIR/webgated.sock"
start_nginx webgated

taskset -c "$LOAD_CPU" python3 - "$BENCH_PORT" "$FLOOD" "$STOPS" <<'PY'
import http.client, json, statistics, sys, threading, time

port, flood, stops = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])

def encode(command):
    text = json.dumps(command, separators=(",", ":"))
    return text.replace(" ", "%20").replace('"', "%22").replace("{", "%7B").replace("}", "%7D")

def get(command, timeout=90):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    start = time.monotonic()
    try:
        connection.request("GET", "/webgated?" + encode(command))
        response = connection.getresponse()
        body = response.read()
        status = response.status
    except OSError as error:
        status, body = 0, str(error).encode()
    connection.close()
    return start, time.monotonic(), status, body

# The web page's first requests: the daemon has connected its robot and settled.
get({"TYPE": "HEARTBEAT"})
results = [None] * flood
def update(i):
    results[i] = get({"TYPE": "updateCheck"})
threads = [threading.Thread(target=update, args=(i,)) for i in range(flood)]
flood_start = time.monotonic()
for t in threads:
    t.start()
time.sleep(1.0)
waits = {"stop": [], "HEARTBEAT": []}
replies = {"stop": set(), "HEARTBEAT": set()}
for _ in range(stops):
    for name in waits:
        start, end, status, body = get({"TYPE": name})
        waits[name].append((end - start) * 1000)
        replies[name].add(body.decode(errors="replace") if status == 200 else "HTTP %d" % status)
    time.sleep(0.1)
for t in threads:
    t.join()

print("flood: %d updateCheck at once, then %d x stop and HEARTBEAT from 1 s on" % (flood, stops))
print("%-10s %10s %10s %10s  %s" % ("command", "first ms", "median ms", "max ms", "replies"))
for name, values in waits.items():
    print("%-10s %10.1f %10.1f %10.1f  %s" % (name, values[0], statistics.median(values), max(values),
                                             " ".join(sorted(replies[name]))))
kinds = {}
for start, end, status, body in results:
    text = body.decode(errors="replace")
    kind = ("waited" if '"DATA"' in text else "refused" if "TOO MANY REQUESTS WAITING" in text
            else "other: HTTP %d %s" % (status, text[:60]))
    kinds.setdefault(kind, []).append((end - start) * 1000)
for kind, values in sorted(kinds.items()):
    print("updateCheck %-8s %3d answered in %8.0f .. %8.0f ms" % (kind, len(values), min(values), max(values)))
PY
tail -5 "$BENCH_DIR/nginx/error.log" >&2
