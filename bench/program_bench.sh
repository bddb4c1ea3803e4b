#!/usr/bin/env bash
# Starting and killing robot programs as the page does it, while the robot drives. The
# interpreter is a bash script that notes the time it runs and starts a chain of three
# processes (root -> child -> grandchild); "/usr/bin/env" is the sudo program and a stand-in
# `sudo` on PATH runs the helpers unprivileged. Each run:
#   runProgram reply -> the interpreter runs       (its own time stamp against the reply's)
#   killProcess sent -> all three processes gone    (/proc followed by this script)
#   longest gap between two set-points reaching the simulated robot while the robot drives
#   from before the runProgram until the tree is gone
#   RUNS   number of runs (default 20)
source "$(dirname "$0")/common.sh"
bench_init robotsim

robot=127.0.0.1:$(free_port)
record=$BENCH_DIR/robot.jsonl
start_robotsim "$robot" --record "$record"

# The daemon with the interpreter and the sudo program of this benchmark.
mkdir -p "$BENCH_DIR/bin"
printf '#!/bin/sh\nexec "$@"\n' >"$BENCH_DIR/bin/sudo"
chmod 755 "$BENCH_DIR/bin/sudo"
cat >"$BENCH_DIR/interpreter" <<'SH'
#!/bin/bash
cd "$(dirname "$0")"
echo "$EPOCHREALTIME" > started.tmp && mv started.tmp started
level() {
  trap 'exit 0' TERM
  echo $BASHPID >> pids
  if [ $1 -lt 2 ]; then level $(($1 + 1)) & fi
  while :; do sleep 30 & wait $!; done
}
level 0
SH
chmod 755 "$BENCH_DIR/interpreter"
root=$BENCH_DIR/root-webgated
"$BENCH_TOP/tools/scripts/prepare-sandbox.sh" "$root" "$robot"
sed -i 's/^verbosity=.*/verbosity=0/' "$root/etc/corvanta/webgated.conf"
# runProgram runs only a program that is in the store.
mkdir -p "$root/home/corvanta/programs"
echo program >"$root/home/corvanta/programs/bench.rvw"
printf '\n[Scripts]\nsudo=/usr/bin/env\n\n[Flowdesk]\npath=%s\n' "$BENCH_DIR/interpreter" \
    >>"$root/etc/corvanta/webgated.conf"
PATH=$BENCH_DIR/bin:$PATH WEBGATED_ROOT=$root taskset -c "$SERVER_CPU" spawn-fcgi -n \
    -s "$BENCH_DIR/webgated.sock" -M 0666 -d "$BENCH_TOP" -- \
    "$BENCH_BUILD/daemons/apps/webgated/webgated" >"$BENCH_DIR/webgated.out" 2>&1 &
BENCH_PIDS+=($!)
wait_for_socket "$BENCH_DIR/webgated.sock"
start_nginx webgated

PYTHONPATH="$BENCH_TOP/bench" taskset -c "$LOAD_CPU" python3 - "$BENCH_PORT" "$record" "$BENCH_DIR" "${RUNS:-20}" <<'PY'
import http.client, json, os, statistics, sys, time
from robot_record import SetPointFollower

port, record, bench_dir, runs = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
started_file = os.path.join(bench_dir, "started")
pids_file = os.path.join(bench_dir, "pids")


def page_query(text):
    return (text.replace(" ", "%20").replace('"', "%22").replace("{", "%7B").replace("}", "%7D"))


connection = http.client.HTTPConnection("127.0.0.1", port)


def command(text):
    connection.request("GET", "/webgated?" + page_query(text))
    body = connection.getresponse().read()
    if b'"ERR"' in body:
        sys.exit("unexpected reply to %s: %r" % (text, body))
    return body


def runs_(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def wait(condition, points, what, limit=15):
    deadline = time.monotonic() + limit
    last_beat = 0
    while not condition():
        now = time.monotonic()
        if now > deadline:
            sys.exit("timed out waiting for " + what)
        if now - last_beat > 0.5:
            command('{"TYPE":"HEARTBEAT"}')
            last_beat = now
        points.poll()
        time.sleep(0.0005)


deadline = time.monotonic() + 15
while not os.path.exists(record) or b'"topic":"odometry"' not in open(record, "rb").read():
    if time.monotonic() > deadline:
        sys.exit("the daemon did not connect to robotsim")
    time.sleep(0.05)

start_latencies, kill_times, gaps = [], [], []
for run in range(runs):
    for f in (started_file, pids_file):
        if os.path.exists(f):
            os.remove(f)
    points = SetPointFollower(record)
    vx = 0.05 if run % 2 == 0 else -0.05
    command('{"TYPE":"velDrive","vx":%s,"vy":0,"omega":0}' % vx)
    wait(lambda: points.times, points, "the first set-point")
    window_start = time.monotonic()

    command('{"TYPE":"runProgram","programName":"bench.rvw"}')
    replied = time.time()
    wait(lambda: os.path.exists(started_file), points, "the interpreter")
    start_latencies.append(float(open(started_file).read()) - replied)
    wait(lambda: len(open(pids_file).read().split()) == 3 if os.path.exists(pids_file) else False,
         points, "the three processes")
    pids = [int(p) for p in open(pids_file).read().split()]

    sent = time.monotonic()
    command('{"TYPE":"killProcess"}')
    wait(lambda: not any(runs_(p) for p in pids), points, "the tree to end")
    gone = time.monotonic()
    kill_times.append(gone - sent)
    points.poll()
    inside = [t for t in points.times if window_start <= t <= gone]
    edges = [window_start] + inside + [gone]
    gaps.append(max(b - a for a, b in zip(edges, edges[1:])))
    command('{"TYPE":"stop"}')
    time.sleep(0.3)

ms = lambda s: "%.1f ms" % (s * 1000)
print("runs: %d" % runs)
for name, values in (("runProgram reply -> interpreter runs", start_latencies),
                     ("killProcess -> 3-level tree gone", kill_times),
                     ("longest gap between set-points while driving", gaps)):
    print("%-46s median %s, worst %s, best %s"
          % (name + ":", ms(statistics.median(values)), ms(max(values)), ms(min(values))))
PY
