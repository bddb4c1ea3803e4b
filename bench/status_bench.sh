#!/usr/bin/env bash
# getBatteryInfo, which every open page polls, against the daemon's unknown-command reply
# (answered by the request loop alone) in the same run, same daemon, same nginx; robotsim
# supplies the battery and charger values. Target: getBatteryInfo at 0.9 of the other's rate.
source "$(dirname "$0")/common.sh"
bench_init robotsim

robot_port=$(free_port)
start_robotsim "127.0.0.1:$robot_port"
start_daemon webgated "127.0.0.1:$robot_port"
start_nginx webgated

battery_url="http://127.0.0.1:$BENCH_PORT/webgated?%7B%22TYPE%22:%22getBatteryInfo%22%7D"
unknown_url="http://127.0.0.1:$BENCH_PORT/webgated?%7B%22TYPE%22:%22noSuchCommand%22%7D"
for _ in $(seq 100); do
    curl -s "$battery_url" | grep -q '"batteryType":"LIION"' && break
    sleep 0.1
done
if ! curl -s "$battery_url" | grep -q '"batteryType":"LIION"'; then
    echo "getBatteryInfo does not show the simulated battery" >&2
    exit 1
fi
echo "reply sizes: getBatteryInfo $(curl -s "$battery_url" | wc -c) bytes, unknown command $(curl -s "$unknown_url" | wc -c) bytes"

echo "A = getBatteryInfo, B = unknown command (same daemon); ${BENCH_SECONDS}s per run"
for conns in 1 4; do
    echo "$conns connection(s):"
    compare "$battery_url" "$unknown_url" "$conns" "${PAIRS:-3}"
done

# The same two reply sizes from the minimal responder: how much of the gap is the transport
# of the longer reply rather than the daemon's work.
{ printf 'Content-type: text/html\r\n\r\n'; curl -s "$battery_url"; } >"$BENCH_DIR/battery.response"
{ printf 'Content-type: text/html\r\n\r\n'; curl -s "$unknown_url"; } >"$BENCH_DIR/unknown.response"
start_responder minbattery "$BENCH_DIR/battery.response"
start_responder minunknown "$BENCH_DIR/unknown.response"
stop_nginx
start_nginx webgated minbattery minunknown
echo "control: A = minimal responder with getBatteryInfo's bytes, B = with the unknown-command bytes"
for conns in 1 4; do
    echo "$conns connection(s):"
    compare "http://127.0.0.1:$BENCH_PORT/minbattery" "http://127.0.0.1:$BENCH_PORT/minunknown" "$conns" "${PAIRS:-3}"
done
