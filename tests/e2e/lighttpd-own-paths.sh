#!/bin/sh
# The packaged lighttpd example serves the page at the page's own paths and leaves every other path
# to the site it was added to.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
server=""
trap '[ -z "$server" ] || kill "$server"; rm -rf "$work"' EXIT
mkdir -p "$work/run" "$work/page/js" "$work/var/www/html"
# Contents no other server on the machine has.
echo "page $work" >"$work/page/index.html"
echo "script $work" >"$work/page/js/main.js"
echo "site $work" >"$work/var/www/html/other.html"
echo "site $work" >"$work/var/www/html/js.html"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$top/tools/scripts/lighttpd-conf.sh" "$work/run" "$port" "$work/run/webgated.sock" "$work/page" "$work/var/www" \
    >"$work/run/lighttpd.conf"
lighttpd -D -f "$work/run/lighttpd.conf" &
server=$!
get() { curl -s --max-time 5 "http://127.0.0.1:$port$1"; }
for _ in $(seq 100); do
    [ "$(get /index.html)" = "page $work" ] && break
    sleep 0.1
done
status=0
for check in "/ page" "/index.html page" "/js/main.js script" "/other.html site" "/js.html site"; do
    path=${check% *} want="${check#* } $work"
    got=$(get "$path")
    if [ "$got" != "$want" ]; then
        echo "$path: '$got', not '$want'" >&2
        status=1
    fi
done
exit $status
