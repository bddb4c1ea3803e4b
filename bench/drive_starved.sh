#!/usr/bin/env bash
# The robot as it moves while the daemon is starved, from the simulated robot's recording.
# 1. Watchdog stretch: a velDrive, then the daemon stopped 380 ms of every 400 ms (SIGSTOP and
#    SIGCONT, as a starved robot computer runs it); the time from the reply to the standstill
#    set-point. Target 2.0 to 2.6 s.
# 2. Set-point gaps while an operator holds a direction (velDrive, then HEARTBEAT every 500 ms)
#    at log verbosity 5 under load (wrk on getDistance), with file opens slowed as on an SD card
#    (strace; SLOW_OPEN_US, 0 for none). Reports the gaps between set-points as they arrive.
#   WEBGATED_BIN   another build of the daemon (say the one before a change)
#   RUNS           stretch runs (default 3); LOAD_SECONDS (default 10)
source "$(dirname "$0")/common.sh"
bench_init robotsim
SLOW_OPEN_US=${SLOW_OPEN_US:-20000}

robot=127.0.0.1:$(free_port)
record=$BENCH_DIR/robot.jsonl
start_robotsim "$robot" --record "$record"
# One daemon per part: the first without strace (a traced process stops differently), the
# second with its file opens slowed.
start_webgated() {
    local name=$1 slow=()
    local root=$BENCH_DIR/root-$name
    "$BENCH_TOP/tools/scripts/prepare-sandbox.sh" "$root" "$robot"
    sed -i 's/^verbosity=.*/verbosity=5/' "$root/etc/corvanta/webgated.conf"
    if [ "$name" = load ] && [ "$SLOW_OPEN_US" != 0 ]; then
        slow=("$(command -v strace)" -f --seccomp-bpf -qq -o /dev/null -e trace=openat
              -e inject=openat:delay_exit="$SLOW_OPEN_US")
    fi
    WEBGATED_ROOT=$root taskset -c "$SERVER_CPU" spawn-fcgi -n -s "$BENCH_DIR/webgated.sock" -M 0666 \
        -d "$BENCH_TOP" -- "${slow[@]}" "$WEBGATED_BIN" >"$BENCH_DIR/webgated-$name.out" 2>&1 &
    BENCH_PIDS+=($!)
    wait_for_socket "$BENCH_DIR/webgated.sock"
    daemon_pid=$(pgrep -n -f "^$WEBGATED_BIN\$")
}
start_nginx webgated
for part in stretch load; do
    start_webgated "$part"
PYTHONPATH="$BENCH_TOP/bench" taskset -c "$LOAD_CPU" python3 - "$BENCH_PORT" "$record" "$daemon_pid" "${RUNS:-3}" "${LOAD_SECONDS:-10}" "$part" <<'PY'
import http.client, json, os, signal, statistics, subprocess, sys, threading, time
from robot_record import SetPointFollower

port, record, pid, runs, load_seconds, part = (int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4]),
                                              int(sys.argv[5]), sys.argv[6])


def query(text):
    return text.replace(" ", "%20").replace('"', "%22").replace("{", "%7B").replace("}", "%7D")


def command(text, timeout=30):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    connection.request("GET", "/webgated?" + query(text))
    body = connection.getresponse().read()
    connection.close()
    return body


deadline = time.monotonic() + 15
while b'"topic":"odometry"' not in open(record, "rb").read():
    if time.monotonic() > deadline:
        sys.exit("the daemon did not connect to robotsim")
    time.sleep(0.05)
time.sleep(1.5)  # odometry flowing: the link is up
ms = lambda s: "%.0f ms" % (s * 1000)

# 1. Watchdog stretch with the daemon stopped 380 ms of every 400 ms.
stretches = []
for run in range(runs if part == "stretch" else 0):
    follower = SetPointFollower(record)
    body = command('{"TYPE":"velDrive","vx":0,"vy":0,"omega":%s}' % (0.3 if run % 2 == 0 else -0.3))
    replied = time.monotonic()
    if b"ACK" not in body:
        sys.exit("unexpected reply: %r" % body)
    stopped = None
    while time.monotonic() - replied < 15 and stopped is None:
        time.sleep(0.02)
        os.kill(pid, signal.SIGSTOP)
        for _ in range(38):
            time.sleep(0.01)
            follower.poll()
        os.kill(pid, signal.SIGCONT)
        follower.poll()
        moving = [t for t, a in follower.points if any(a)]
        if moving and any(not any(a) and t >= moving[0] for t, a in follower.points):
            stopped = next(t for t, a in follower.points if not any(a) and t >= moving[0])
    if stopped is None:
        sys.exit("no standstill within 15 s")
    stretches.append(stopped - replied)
    time.sleep(1.0)
if part == "stretch":
    print("watchdog stretch, daemon stopped 380 of every 400 ms: %s (median %s)"
          % (", ".join(ms(s) for s in stretches), ms(statistics.median(stretches))))
    sys.exit(0)

# 2. Set-point gaps at verbosity 5 under load while the operator holds a direction.
stop = threading.Event()
served = [0]


def load():
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    path = "/webgated?" + query('{"TYPE":"getDistance"}')
    while not stop.is_set():
        connection.request("GET", path)
        connection.getresponse().read()
        served[0] += 1


loaders = [threading.Thread(target=load) for _ in range(4)]
for t in loaders:
    t.start()
follower = SetPointFollower(record)
body = command('{"TYPE":"velDrive","vx":0,"vy":0,"omega":0.2}')
if b"ACK" not in body:
    sys.exit("unexpected reply: %r" % body)
start = time.monotonic()
next_beat = start
while time.monotonic() - start < load_seconds:
    if time.monotonic() >= next_beat:
        command('{"TYPE":"HEARTBEAT"}')
        next_beat += 0.5
    follower.poll()
    time.sleep(0.002)
stop.set()
for t in loaders:
    t.join()
command('{"TYPE":"stop"}')
times = [start] + [t for t, a in follower.points if any(a)]
gaps = sorted(b - a for a, b in zip(times, times[1:]))
if len(times) < 3:
    sys.exit("%d moving set-points in %d s of driving" % (len(times) - 1, load_seconds))
print("set-point gaps at verbosity 5 under load (%d requests, %d moving set-points in %d s): median %s, p99 %s, worst %s, over 500 ms: %d"
      % (served[0], len(times) - 1, load_seconds, ms(statistics.median(gaps)), ms(gaps[int(len(gaps) * 0.99)]), ms(gaps[-1]),
         sum(g > 0.5 for g in gaps)))
PY
    # The daemon and whatever traces it go at once; the next part starts afresh.
    pkill -9 -f "^$WEBGATED_BIN\$" || true
    pkill -9 -f "strace .*$WEBGATED_BIN" || true
    rm -f "$BENCH_DIR/webgated.sock"
    sleep 0.5
done
echo "robotsim: $(grep -c 'robot stopped' "$BENCH_DIR/robotsim.out" || true) stops by its own drive timeout"
