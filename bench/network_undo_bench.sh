#!/usr/bin/env bash
# A network change nobody confirms: how long from its deadline until the files are back. The
# daemon logs the time from the deadline to the last file put back (the eth0 script run again
# included); RUNS changes (default 20) of confirmWithin 10 s, so this takes RUNS x 10 s and more.
source "$(dirname "$0")/common.sh"
bench_init
runs=${RUNS:-20}

root=$BENCH_DIR/root
"$BENCH_TOP/tools/scripts/prepare-sandbox.sh" "$root" 127.0.0.1:1 demo
sed -i 's/^verbosity=.*/verbosity=1/' "$root/etc/corvanta/webgated.conf"
# The eth0 stand-in rewrites the interfaces file, as the real script does.
cat >"$root/usr/local/bin/reconfigure_eth0.sh" <<SCRIPT
#!/bin/sh
printf 'auto eth0\niface eth0 inet %s\n' "\$1" >"$root/etc/network/interfaces"
SCRIPT
cp "$root/etc/network/interfaces" "$BENCH_DIR/interfaces.before"
WEBGATED_ROOT=$root taskset -c "$SERVER_CPU" spawn-fcgi -n -s "$BENCH_DIR/webgated.sock" -M 0666 \
    -d "$BENCH_TOP" -- "$WEBGATED_BIN" >"$BENCH_DIR/webgated.out" 2>&1 &
BENCH_PIDS+=($!)
wait_for_socket "$BENCH_DIR/webgated.sock"
start_nginx webgated

url="http://127.0.0.1:$BENCH_PORT/webgated?"
change='%7B%22TYPE%22:%22SetEthConf%22,%22DHCP%22:%22true%22,%22confirmWithin%22:10%7D'
late() { grep -o '[0-9]* ms after its deadline' "$root/var/log/webgated" | cut -d' ' -f1; }
for i in $(seq "$runs"); do
    curl -s "$url$change" | grep -q changeId || { echo "change $i refused" >&2; exit 1; }
    for _ in $(seq 400); do [ "$(late | wc -l)" -ge "$i" ] && break; sleep 0.05; done
    [ "$(late | wc -l)" -ge "$i" ] || { echo "change $i was not undone" >&2; exit 1; }
    cmp -s "$root/etc/network/interfaces" "$BENCH_DIR/interfaces.before" ||
        { echo "change $i: interfaces not as before" >&2; exit 1; }
done
echo "deadline to files restored, ms, $runs runs: $(late | tr '\n' ' ')"
late | sort -n | awk '{ v[NR] = $1 } END { printf "min %d  median %d  max %d\n", v[1], v[int((NR + 1) / 2)], v[NR] }'
