#!/usr/bin/env bash
# SIGTERM while the robot drives: time from the signal to the standstill set-point in the
# simulated robot's recording, and to the daemon's exit, with no other peer and with a local
# peer stalled in the middle of a FastCGI record. Prints the median of RUNS runs per case.
#   RUNS   runs per case (default 10)
source "$(dirname "$0")/common.sh"
bench_init robotsim

robot=127.0.0.1:$(free_port)
record=$BENCH_DIR/robot.jsonl
start_robotsim "$robot" --record "$record"
root=$BENCH_DIR/root-webgated
"$BENCH_TOP/tools/scripts/prepare-sandbox.sh" "$root" "$robot"
sed -i 's/^verbosity=.*/verbosity=0/' "$root/etc/corvanta/webgated.conf"
# nginx first: it only needs the socket's path, which each run's daemon creates anew.
start_nginx webgated

taskset -c "$LOAD_CPU" python3 - "$BENCH_PORT" "$record" "${RUNS:-10}" "$BENCH_DIR" "$root" \
    "$BENCH_BUILD/daemons/apps/webgated/webgated" "$BENCH_TOP" "$SERVER_CPU" <<'PY'
import http.client, json, os, signal, socket, statistics, subprocess, sys, time

port, record, runs, bench_dir, root, binary, top, server_cpu = sys.argv[1:9]
port, runs = int(port), int(runs)
sock_path = os.path.join(bench_dir, "webgated.sock")


def set_points_after(offset):
    with open(record, "rb") as f:
        f.seek(offset)
        data = f.read()
    end = data.rfind(b"\n")
    points = []
    for line in data[:end].split(b"\n") if end >= 0 else []:
        try:
            m = json.loads(line)
        except ValueError:
            continue
        if m.get("op") == "set" and m.get("topic") == "omnidrive":
            points.append(m["args"])
    return points


def wait_until(condition, limit, what):
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            sys.exit("timed out waiting for " + what)
        time.sleep(0.0005)
    return time.monotonic()


def one_run(stall):
    if os.path.exists(sock_path):
        os.unlink(sock_path)
    env = dict(os.environ, WEBGATED_ROOT=root)
    daemon = subprocess.Popen(["taskset", "-c", server_cpu, "spawn-fcgi", "-n", "-s", sock_path,
                               "-M", "0666", "-d", top, "--", binary], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_until(lambda: os.path.exists(sock_path), 10, "the socket")
    offset = os.path.getsize(record) if os.path.exists(record) else 0
    # Connected once it has switched its topics on (its first set-point needs the connection).
    query = "%7B%22TYPE%22:%22velDrive%22,%22vx%22:0.2,%22vy%22:0,%22omega%22:0%7D"
    def driving():
        c = http.client.HTTPConnection("127.0.0.1", port)
        c.request("GET", "/webgated?" + query)
        c.getresponse().read()
        time.sleep(0.15)
        return any(p[0] != 0 for p in set_points_after(offset))
    wait_until(driving, 15, "the robot to drive")
    peer = None
    if stall:
        peer = socket.socket(socket.AF_UNIX)
        peer.connect(sock_path)
        peer.sendall(b"\x01\x01\x00\x01\x00\x08")
        time.sleep(0.05)  # let the request thread take it up
    offset = os.path.getsize(record)
    sent = time.monotonic()
    daemon.send_signal(signal.SIGTERM)
    zero = wait_until(lambda: any(p == [0, 0, 0] for p in set_points_after(offset)), 30, "standstill")
    status = daemon.wait(30)
    ended = time.monotonic()
    if peer:
        peer.close()
    if status != 0:
        sys.exit("the daemon ended with status %d" % status)
    return zero - sent, ended - sent


ms = lambda s: "%.1f ms" % (s * 1000)
for stall in (False, True):
    zeros, exits = [], []
    for _ in range(runs):
        z, e = one_run(stall)
        zeros.append(z)
        exits.append(e)
    print("%-22s SIGTERM -> standstill at the robot: median %s (worst %s); -> exit: median %s (worst %s)"
          % ("stalled peer:" if stall else "no other peer:", ms(statistics.median(zeros)), ms(max(zeros)),
             ms(statistics.median(exits)), ms(max(exits))))
PY
