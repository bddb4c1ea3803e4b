#!/usr/bin/env bash
# The drive watchdog as the robot sees it, from the simulated robot's recording (followed while
# it grows). Each run: a velDrive from standstill, a second one while driving (at a random phase
# of the drive timer), then silence. Reports the time from the last command to the standstill
# set-point (must never exceed 2.3 s) and from each reply to the first set-point carrying it.
# Directions alternate so the robot stays clear of the walls.
#   RUNS   number of runs (default 20)
source "$(dirname "$0")/common.sh"
bench_init

robot=127.0.0.1:$(free_port)
record=$BENCH_DIR/robot.jsonl
start_robotsim "$robot" --record "$record"
start_daemon webgated "$robot"
start_nginx webgated

taskset -c "$LOAD_CPU" python3 - "$BENCH_PORT" "$record" "${RUNS:-20}" <<'PY'
import http.client, json, os, random, statistics, sys, time

port, record, runs = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
LIMIT_S = 2.3


def new_lines(offset):
    """Complete lines appended to the recording since offset, and the new offset."""
    with open(record, "rb") as f:
        f.seek(offset)
        data = f.read()
    end = data.rfind(b"\n")
    if end < 0:
        return [], offset
    return data[:end].split(b"\n"), offset + end + 1


def set_points(lines):
    for line in lines:
        try:
            message = json.loads(line)
        except ValueError:
            continue
        if message.get("op") == "set" and message.get("topic") == "omnidrive":
            yield message["args"]


def page_query(text):
    return (text.replace(" ", "%20").replace('"', "%22").replace("{", "%7B").replace("}", "%7D"))


# The daemon is connected once it has switched its topics on.
deadline = time.monotonic() + 15
while not os.path.exists(record) or b'"topic":"odometry"' not in open(record, "rb").read():
    if time.monotonic() > deadline:
        sys.exit("the daemon did not connect to robotsim")
    time.sleep(0.05)

connection = http.client.HTTPConnection("127.0.0.1", port)


def vel_drive(vx):
    """Sends one velDrive; returns the times it was sent and answered."""
    query = page_query('{"TYPE":"velDrive","vx":%s,"vy":0,"omega":0}' % vx)
    sent = time.monotonic()
    connection.request("GET", "/webgated?" + query)
    body = connection.getresponse().read()
    if b'"ACK"' not in body:
        sys.exit("unexpected reply: %r" % body)
    return sent, time.monotonic()


def wait_for(offset, wanted, since):
    """Follows the recording until a set-point with vx == wanted; returns its time and the offset."""
    while time.monotonic() - since < 10:
        lines, offset = new_lines(offset)
        now = time.monotonic()
        for args in set_points(lines):
            if abs(args[0] - wanted) < 1e-6:
                return now, offset
        time.sleep(0.0005)
    sys.exit("no set-point vx=%s within 10 s" % wanted)


random.seed(1)
stops, idle_latencies, running_latencies = [], [], []
for run in range(runs):
    vx = 0.1 if run % 2 == 0 else -0.1
    offset = os.path.getsize(record)
    # From standstill: the timer starts with the command, so its first tick is a period away.
    _, replied = vel_drive(vx)
    first, offset = wait_for(offset, vx, replied)
    idle_latencies.append(first - replied)
    # While driving: the next tick comes at whatever phase the timer is in.
    time.sleep(random.uniform(0, 0.1))
    sent, replied = vel_drive(vx)
    carried, offset = wait_for(offset, 2 * vx, replied)
    running_latencies.append(carried - replied)
    stopped, offset = wait_for(offset, 0, sent)
    stops.append(stopped - sent)
    time.sleep(0.3)

ms = lambda s: "%.0f ms" % (s * 1000)
print("runs: %d" % runs)
print("last command -> standstill set-point: median %s, worst %s, best %s"
      % (ms(statistics.median(stops)), ms(max(stops)), ms(min(stops))))
print("reply -> first set-point carrying it, from standstill: median %s, worst %s"
      % (ms(statistics.median(idle_latencies)), ms(max(idle_latencies))))
print("reply -> first set-point carrying it, while driving: median %s, worst %s"
      % (ms(statistics.median(running_latencies)), ms(max(running_latencies))))
if max(stops) > LIMIT_S:
    sys.exit("the watchdog stop took longer than %.1f s" % LIMIT_S)
PY
