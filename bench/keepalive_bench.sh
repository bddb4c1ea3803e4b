#!/usr/bin/env bash
# nginx's FastCGI keep-alive pool (fastcgi_keep_conn on, upstream keepalive) against plain
# connections, on the same daemon behind the same nginx: the rate with keep-alive must be at
# least 0.9 of the rate without, with no client error and no error line in nginx's log.
#   PAIRS   runs per side, alternated (default 5)
#   CONNS   client connections (default 4)
source "$(dirname "$0")/common.sh"
bench_init

start_daemon webgated "127.0.0.1:$(free_port)"
start_nginx webgated webgated_keep

query='?%7B%22TYPE%22:%22noSuchCommand%22%7D'
keep_url="http://127.0.0.1:$BENCH_PORT/webgated_keep$query"
plain_url="http://127.0.0.1:$BENCH_PORT/webgated$query"
if ! cmp -s <(curl -s "$keep_url") <(curl -s "$plain_url"); then
    echo "the two sides do not answer the same bytes" >&2
    exit 1
fi

echo "A = keep-alive pool, B = a connection per request; ${BENCH_SECONDS}s per run, ${CONNS:-4} connections"
errors_before=$(grep -cE '\[(error|crit|alert|emerg)\]' "$BENCH_DIR/nginx/error.log" || true)
compare "$keep_url" "$plain_url" "${CONNS:-4}" "${PAIRS:-5}" 2> >(tee "$BENCH_DIR/wrk.err" >&2)
errors=$(grep -cE '\[(error|crit|alert|emerg)\]' "$BENCH_DIR/nginx/error.log" || true)
echo "nginx error lines during the runs: $((errors - errors_before))"
echo "client errors reported by wrk: $(wc -l <"$BENCH_DIR/wrk.err")"
