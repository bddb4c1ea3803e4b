#!/usr/bin/env bash
# Builds the Debian package as the README says and checks it as an integrator would use it:
# lintian clean (hardening included), the unit's systemd exposure, dpkg -i (the socket enabled),
# the installed webgated --version, the units verified, the installed daemon started under
# systemd-socket-activate behind nginx (Debian's default site with the packaged snippet included)
# and behind lighttpd (Debian's lighttpd.conf with the packaged snippet) answering the page's
# requests, then a purge that leaves nothing behind: no file of the package, no log (.1 to .3
# too), no state, no enable link. Run as root on a machine without the package.
# Usage: package-check.sh <build dir>
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?build dir}
socket=/run/webgated.sock
port=${PACKAGE_CHECK_PORT:-18080}
lighttpd_port=$((port + 1))
work=$(mktemp -d)
pids=()
installed=""
# A check that fails half-way leaves the machine as it found it: no package, no socket.
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    if [ -n "$installed" ]; then
        dpkg --purge webgated >/dev/null 2>&1 || true
        rm -f "$socket"
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package-check: $*" >&2; exit 1; }
# The first reply to a command through the web server on port $1, waited for at most 10 s.
first_reply() {
    local reply=""
    for _ in $(seq 100); do
        reply=$(curl -sg "http://127.0.0.1:$1/webgated?{%22TYPE%22:%22getMenuItems%22}" || true)
        [ -n "$reply" ] && break
        sleep 0.1
    done
    echo "$reply"
}

if dpkg-query -W -f='${Status}' webgated 2>/dev/null | grep -q installed; then
    fail "webgated is installed already; remove it first"
fi
[ -e "$socket" ] && fail "$socket exists"
# What the daemon writes on a robot; the purge below must remove it, so none may be here before.
made_by_daemon="/var/log/webgated /var/log/webgated.1 /var/log/webgated.2 /var/log/webgated.3
  /var/lib/webgated /var/www/updlist.vnt /var/www/programs /run/webgated"
for path in $made_by_daemon; do
    if [ -e "$path" ] || [ -L "$path" ]; then fail "$path exists"; fi
done

# The README's build, warnings as errors (the hardening comes from the build itself).
cmake -S "$top" -B "$build" -G Ninja -DWEBGATED_WERROR=ON -DWEBGATED_BENCH=OFF \
    -DWEBGATED_ROBOTSIM=OFF >/dev/null
cmake --build "$build" -j2 --target webgated webgated_docs
rm -f "$build"/webgated_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/webgated_*.deb)
echo "package: $deb, $(stat -c %s "$deb") bytes"
dpkg-deb -f "$deb" Installed-Size Depends | sed 's/^/  /'

echo "lintian (errors and warnings fail, hardening ones too; notes listed):"
status=0
lintian --fail-on error,warning -I "$deb" >"$work/lintian" 2>&1 || status=$?
grep -v 'running with root privileges' "$work/lintian" | sed 's/^/  /' || true
[ "$status" = 0 ] || fail "lintian found errors or warnings"

installed=yes
dpkg -i "$deb" >/dev/null
/usr/sbin/webgated --version
systemd-analyze verify /lib/systemd/system/webgated.socket /lib/systemd/system/webgated.service
# Each setting the unit leaves out says why in its comments; this keeps the sum from creeping up.
exposure=$(systemd-analyze security --offline=true /lib/systemd/system/webgated.service 2>/dev/null |
    sed -n 's/.*Overall exposure level for webgated.service: \([0-9.]*\).*/\1/p')
echo "systemd exposure of webgated.service: $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e < 6) }' || fail "exposure ${exposure:-unknown} is not under 6"
# Enabled as Debian's packages are, also where systemd does not run (it starts on the next boot).
[ -L /etc/systemd/system/sockets.target.wants/webgated.socket ] || fail "the socket is not enabled"

# The installed daemon, socket-activated, behind nginx. Its files go
# to a sandbox root, so the machine running the check keeps its own /var/log and /var/www
# (systemd-socket-activate passes on only the variables named with -E).
root=$work/root
"$top/tools/scripts/prepare-sandbox.sh" "$root" 127.0.0.1:1
(cd /usr/share/webgated && exec env WEBGATED_ROOT="$root" systemd-socket-activate -l "$socket" -E WEBGATED_ROOT -- \
    /usr/sbin/webgated >"$work/daemon.out" 2>&1) &
pids+=($!)
# Debian's default site with the snippet included as the README says, its listen lines moved to
# a port of the check; nginx must take it (no location of the site's own is repeated).
nginx_dir=$work/nginx
site=/etc/nginx/sites-available/default
[ -f "$site" ] || fail "$site is missing (nginx-common)"
mkdir -p "$nginx_dir/snippets"
cp /usr/share/doc/webgated/examples/nginx/webgated.conf "$nginx_dir/snippets/"
sed -e '/listen \[::\]:80 default_server;/d' -e "s/listen 80 default_server;/listen 127.0.0.1:$port default_server;/" \
    -e '0,/^server {$/s//server {\n\tinclude snippets\/webgated.conf;/' "$site" >"$nginx_dir/default"
grep -q "listen 127.0.0.1:$port default_server;" "$nginx_dir/default" || fail "no listen line to move in $site"
cat >"$nginx_dir/nginx.conf" <<CONF
user root;
daemon off;
master_process off;
worker_processes 1;
error_log $nginx_dir/error.log warn;
pid $nginx_dir/nginx.pid;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $nginx_dir/body;
    fastcgi_temp_path $nginx_dir/fastcgi;
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    include $nginx_dir/default;
}
CONF
nginx -t -q -p "$nginx_dir" -c "$nginx_dir/nginx.conf" || fail "nginx refuses the snippet in Debian's default site"
nginx -p "$nginx_dir" -c "$nginx_dir/nginx.conf" &
pids+=($!)
reply=$(first_reply "$port")
echo "reply: $reply"
case $reply in *'"TYPE":"DATA"'*) ;; *) cat "$work/daemon.out" "$nginx_dir/error.log" >&2; fail "no reply" ;; esac
# The largest command the page sends (16 KiB in the request line) is answered.
pad=$(head -c 16300 /dev/zero | tr '\0' p)
case $(curl -sg "http://127.0.0.1:$port/webgated?{%22TYPE%22:%22getMenuItems%22,%22pad%22:%22$pad%22}") in
    *'"TYPE":"DATA"'*) ;; *) fail "a 16 KiB command is not answered" ;;
esac
# The installed page, which no other site may frame; the store only ever a download.
headers=$(curl -s -D - -o "$work/page" "http://127.0.0.1:$port/")
grep -q '<title>Robot</title>' "$work/page" || fail "the page is not served at /"
grep -qi '^X-Frame-Options: DENY' <<<"$headers" || fail "the page may be framed"
grep -qi "^Content-Security-Policy: .*frame-ancestors 'none'" <<<"$headers" || fail "the page may be framed"
headers=$(curl -s -D - -o /dev/null "http://127.0.0.1:$port/programs/readme.html")
grep -qi '^Content-Disposition: attachment' <<<"$headers" || fail "the store is not a download"
echo "Debian's default site with the snippet: page, commands up to 16 KiB, headers as meant"

# Debian's lighttpd.conf, its site moved to a folder of the check, the packaged snippet in the
# place of conf-enabled: the daemon's paths answer, the site's own pages still do.
lighttpd_dir=$work/lighttpd
mkdir -p "$lighttpd_dir/site"
echo "the site that was there" >"$lighttpd_dir/site/site.html"
sed -e "s|^server.document-root .*|server.document-root = \"$lighttpd_dir/site\"|" \
    -e "s|^server.upload-dirs .*|server.upload-dirs = ( \"$lighttpd_dir\" )|" \
    -e "s|^server.errorlog .*|server.errorlog = \"$lighttpd_dir/error.log\"|" \
    -e "s|^server.pid-file .*|server.pid-file = \"$lighttpd_dir/pid\"|" \
    -e "s|^server.port .*|server.port = $lighttpd_port\nserver.bind = \"127.0.0.1\"|" \
    -e '/^server.username/d' -e '/^server.groupname/d' -e '/use-ipv6.pl/d' \
    -e "s|^include \"/etc/lighttpd/conf-enabled/\*.conf\"|include \"/usr/share/doc/webgated/examples/lighttpd/50-webgated.conf\"|" \
    /etc/lighttpd/lighttpd.conf >"$lighttpd_dir/lighttpd.conf"
grep -q 50-webgated.conf "$lighttpd_dir/lighttpd.conf" || fail "no conf-enabled include to replace in Debian's lighttpd.conf"
lighttpd -tt -f "$lighttpd_dir/lighttpd.conf" >/dev/null || fail "lighttpd refuses the snippet in Debian's configuration"
lighttpd -D -f "$lighttpd_dir/lighttpd.conf" &
pids+=($!)
reply=$(first_reply "$lighttpd_port")
case $reply in *'"TYPE":"DATA"'*) ;; *) cat "$lighttpd_dir/error.log" >&2; fail "no reply through lighttpd" ;; esac
grep -q '<title>Robot</title>' <(curl -s "http://127.0.0.1:$lighttpd_port/") || fail "lighttpd does not serve the page at /"
[ "$(curl -s "http://127.0.0.1:$lighttpd_port/site.html")" = "the site that was there" ] ||
    fail "the lighttpd snippet hides the site's own pages"
echo "Debian's lighttpd with the snippet: commands, the page, and the site's own pages"
daemon=$(pgrep -x -P "${pids[0]}" webgated || pgrep -xf /usr/sbin/webgated | head -1)
grep -E 'VmRSS|VmHWM' "/proc/$daemon/status" | sed 's/^/idle memory of the installed daemon: /'
for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
wait 2>/dev/null || true
pids=()
rm -f "$socket"

# Stand-ins for what the daemon writes on a robot (three restarts' logs, a waiting network
# change, the package list, a program's private copy, the store's link).
for log in /var/log/webgated /var/log/webgated.1 /var/log/webgated.2 /var/log/webgated.3; do echo log >"$log"; done
mkdir -p /var/lib/webgated /run/webgated/programs /var/www
echo '{}' >/var/lib/webgated/network-change.json
echo '[]' >/var/www/updlist.vnt
echo copy >/run/webgated/programs/p.xml
ln -s /home/corvanta/programs /var/www/programs
# As an operator might have, besides the package's own link.
mkdir -p /etc/systemd/system/multi-user.target.wants
ln -sf /lib/systemd/system/webgated.service /etc/systemd/system/multi-user.target.wants/webgated.service

dpkg -L webgated >"$work/files"
dpkg --purge webgated >/dev/null
installed=""
left=""
while read -r path; do
    [ "$path" = /. ] && continue
    # Folders the package shares with others (/usr, /etc, ...) stay.
    if [ -d "$path" ]; then
        if [[ $path == *webgated* || $path == /etc/corvanta ]]; then left="$left $path"; fi
    elif [ -e "$path" ] || [ -L "$path" ]; then
        left="$left $path"
    fi
done <"$work/files"
for path in $made_by_daemon /etc/systemd/system/*.wants/webgated.* /etc/systemd/system/webgated.* \
    /var/lib/systemd/deb-systemd-helper-enabled/*webgated* /var/lib/systemd/deb-systemd-helper-masked/webgated.*; do
    if [ -e "$path" ] || [ -L "$path" ]; then left="$left $path"; fi
done
[ -z "$left" ] || fail "left after purge:$left"
echo "package check passed"
