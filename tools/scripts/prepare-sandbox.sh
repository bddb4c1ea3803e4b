#!/bin/sh
# Lays out a sandbox root for the daemon: its configuration, the program store, a version file.
# Usage: prepare-sandbox.sh <root> <robot host:port>
set -eu
root=$1 robot=$2
mkdir -p "$root/etc/corvanta" "$root/home/corvanta/.config" "$root/home/corvanta/programs" \
    "$root/var/log" "$root/var/www" "$root/run"
chmod 755 "$root"
cat >"$root/etc/corvanta/webgated.conf" <<CONF
[Log]
verbosity=3

[Network]
server=$robot

[Menu]
updateItem=true
factory4Item=false
CONF
echo "webgated demo 1.0" >"$root/version.txt"
cat >"$root/var/www/index.html" <<HTML
<!DOCTYPE html><html><body><h1>webgated demo</h1>
<p>Commands go to <code>/webgated?{JSON}</code>.</p>
<img src="/webgated?%7B%22TYPE%22:%22getimage%22%7D" alt="camera"></body></html>
HTML
