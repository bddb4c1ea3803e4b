#!/usr/bin/env bash
# Builds the Debian package and checks it as an integrator would use it: lintian, dpkg -i, the
# installed webgated --version, the units verified, the installed daemon started under
# systemd-socket-activate behind nginx (with the packaged nginx example) answering a request,
# then a purge that leaves nothing behind. Run as root on a machine without the package.
# Usage: package-check.sh <build dir>
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?build dir}
socket=/run/webgated.sock
port=${PACKAGE_CHECK_PORT:-18080}
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package-check: $*" >&2; exit 1; }

if dpkg-query -W -f='${Status}' webgated 2>/dev/null | grep -q installed; then
    fail "webgated is installed already; remove it first"
fi
[ -e "$socket" ] && fail "$socket exists"

# The flags Debian builds its packages with (hardening included).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CXXFLAGS="$CXXFLAGS $CPPFLAGS"
cmake -S "$top" -B "$build" -G Ninja -DWEBGATED_WERROR=ON -DWEBGATED_BENCH=OFF \
    -DWEBGATED_ROBOTSIM=OFF >/dev/null
cmake --build "$build" -j2 --target webgated webgated_docs
rm -f "$build"/webgated_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/webgated_*.deb)
echo "package: $deb, $(stat -c %s "$deb") bytes"
dpkg-deb -f "$deb" Installed-Size Depends | sed 's/^/  /'

echo "lintian (errors fail; warnings and notes listed):"
status=0
lintian --fail-on error -I "$deb" >"$work/lintian" 2>&1 || status=$?
grep -v 'running with root privileges' "$work/lintian" | sed 's/^/  /' || true
[ "$status" = 0 ] || fail "lintian found errors"

dpkg -i "$deb" >/dev/null
/usr/sbin/webgated --version
systemd-analyze verify /lib/systemd/system/webgated.socket /lib/systemd/system/webgated.service

# The installed daemon, socket-activated, behind nginx with the packaged example. Its files go
# to a sandbox root, so the machine running the check keeps its own /var/log and /var/www
# (systemd-socket-activate passes on only the variables named with -E).
root=$work/root
"$top/tools/scripts/prepare-sandbox.sh" "$root" 127.0.0.1:1
(cd /usr/share/webgated && exec env WEBGATED_ROOT="$root" systemd-socket-activate -l "$socket" -E WEBGATED_ROOT -- \
    /usr/sbin/webgated >"$work/daemon.out" 2>&1) &
pids+=($!)
nginx_dir=$work/nginx
mkdir -p "$nginx_dir"
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
    server {
        listen 127.0.0.1:$port;
        include /usr/share/doc/webgated/examples/nginx/webgated.conf;
    }
}
CONF
nginx -p "$nginx_dir" -c "$nginx_dir/nginx.conf" &
pids+=($!)
reply=""
for _ in $(seq 100); do
    reply=$(curl -sg "http://127.0.0.1:$port/webgated?{%22TYPE%22:%22getMenuItems%22}" || true)
    [ -n "$reply" ] && break
    sleep 0.1
done
echo "reply: $reply"
case $reply in *'"TYPE":"DATA"'*) ;; *) cat "$work/daemon.out" "$nginx_dir/error.log" >&2; fail "no reply" ;; esac
daemon=$(pgrep -x -P "${pids[0]}" webgated || pgrep -xf /usr/sbin/webgated | head -1)
grep -E 'VmRSS|VmHWM' "/proc/$daemon/status" | sed 's/^/idle memory of the installed daemon: /'
for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
wait 2>/dev/null || true
pids=()
rm -f "$socket"

dpkg -L webgated >"$work/files"
dpkg --purge webgated >/dev/null
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
if [ -e /var/log/webgated ]; then left="$left /var/log/webgated"; fi
[ -z "$left" ] || fail "left after purge:$left"
echo "package check passed"
