#!/usr/bin/env bash
# How long getDistance and HEARTBEAT, each sent every 50 ms as an open page and a driving
# operator send them, wait while a slow command runs: updateCheck with a package tool that takes
# 3 s, and the commands that wait for the disk or a local socket. A robot's SD card is played by
# delaying the daemon's fsync (300 ms) and file opens (20 ms) with strace; a debug service that
# accepts nothing by a full listening queue on port 2000. Target: under 100 ms, whatever runs.
#   SLOW_FSYNC_US / SLOW_OPEN_US   the injected delays (microseconds); 0 runs without strace
#   WEBGATED_BIN                   another build of the daemon (say the one before a change)
source "$(dirname "$0")/common.sh"
bench_init robotsim
SLOW_FSYNC_US=${SLOW_FSYNC_US:-300000}
SLOW_OPEN_US=${SLOW_OPEN_US:-20000}

# The package tool: three seconds, then a listing.
stand_in_dpkg 3 1500
start_demo_robot
printf '[ConfigPage]\ndirectories=/opt/taviron/etc\n' >>"$root/etc/corvanta/webgated.conf"
slow=()
if [ "$SLOW_FSYNC_US" != 0 ]; then
    slow=("$(command -v strace)" -f --seccomp-bpf -qq -o /dev/null -e trace=fsync,fdatasync,openat
          -e inject=fsync,fdatasync:delay_exit="$SLOW_FSYNC_US" -e inject=openat:delay_exit="$SLOW_OPEN_US")
fi
PATH=$BENCH_DIR/bin:$PATH WEBGATED_ROOT=$root taskset -c "$SERVER_CPU" spawn-fcgi -n -s "$BENCH_DIR/webgated.sock" \
    -M 0666 -d "$BENCH_TOP" -- "${slow[@]}" "$WEBGATED_BIN" >"$BENCH_DIR/webgated.out" 2>&1 &
BENCH_PIDS+=($!)
wait_for_socket "$BENCH_DIR/webgated.sock"
start_nginx webgated

taskset -c "$LOAD_CPU" python3 - "$BENCH_PORT" <<'PY'
import http.client, json, re, socket, sys, threading, time

port = int(sys.argv[1])

def encode(command):
    text = json.dumps(command, separators=(",", ":"))
    return text.replace(" ", "%20").replace('"', "%22").replace("{", "%7B").replace("}", "%7D")

def get(command, timeout=60):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    start = time.monotonic()
    connection.request("GET", "/webgated?" + encode(command))
    response = connection.getresponse()
    body = response.read()
    connection.close()
    return start, time.monotonic(), response.status, body

def poll(command, stop, record):
    due = time.monotonic()
    while not stop.is_set():
        start, end, status, _ = get(command)
        record.append((start, end, status))
        due += 0.05
        time.sleep(max(0.0, due - time.monotonic()))

# A debug service that accepts nothing: its listening queue is full, so a connect waits.
service = socket.socket()
service.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
try:
    service.bind(("127.0.0.1", 2000))
    service.listen(0)
    fillers = []
    for _ in range(8):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", 2000))
        fillers.append(s)
except OSError as error:
    print("port 2000 is taken (%s): sendDebugMessage meets that service" % error)

items = get({"TYPE": "getSettingsItemsXML"})[3].decode()
item = re.search(r"<itemName>([^<]*fps)</itemName>\s*<category>([^<]*)</category>", items)
change = [{"category": item.group(2), "itemName": item.group(1), "value": "12"}] if item else []
if not change:
    print("no settings item found: saveSettings writes nothing")

slow_commands = [
    ("updateCheck (3 s tool)", {"TYPE": "updateCheck"}),
    ("saveSettings", {"TYPE": "saveSettings", "settings": change}),
    ("getSettingsItemsXML", {"TYPE": "getSettingsItemsXML"}),
    ("getSettingsCategoryXML", {"TYPE": "getSettingsCategoryXML"}),
    ("getWLANConf", {"TYPE": "getWLANConf"}),
    ("getProgramList", {"TYPE": "getProgramList"}),
    ("renameFile", {"TYPE": "renameFile", "fileName": "hello.rvw", "newFileName": "hello2.rvw"}),
    ("renameFile back", {"TYPE": "renameFile", "fileName": "hello2.rvw", "newFileName": "hello.rvw"}),
    ("runProgram", {"TYPE": "runProgram", "programName": "square.rvw"}),
    ("killProcess", {"TYPE": "killProcess"}),
    ("getVersion", {"TYPE": "getVersion"}),
    ("sendDebugMessage", {"TYPE": "sendDebugMessage", "message": "bench"}),
]
print("%-24s %10s %8s %28s" % ("slow command", "took ms", "reply", "worst poll wait meanwhile ms"))
for name, command in slow_commands:
    stop = threading.Event()
    records = []
    pollers = [threading.Thread(target=poll, args=({"TYPE": t}, stop, records)) for t in ("getDistance", "HEARTBEAT")]
    for p in pollers:
        p.start()
    time.sleep(0.3)
    start, end, status, body = get(command)
    time.sleep(0.2)
    stop.set()
    for p in pollers:
        p.join()
    during = [e - s for s, e, st in records if s < end and e > start]
    reply = json.loads(body).get("TYPE", "?") if body[:1] == b"{" else "HTTP %d" % status
    print("%-24s %10.0f %8s %28.1f" % (name, (end - start) * 1000, reply, max(during) * 1000 if during else -1))
PY
tail -5 "$BENCH_DIR/nginx/error.log" >&2
