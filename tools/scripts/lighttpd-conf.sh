#!/bin/sh
# Prints a lighttpd configuration that serves the daemon on 127.0.0.1:<port>: a few server
# settings as Debian's lighttpd.conf has them, then the packaged example
# (packaging/lighttpd/50-webgated.conf) with only the robot's paths moved to the given ones (the
# program store beside the given /var/www, in the same root).
# Usage: lighttpd-conf.sh <prefix dir> <port> <fastcgi socket> <page dir> <robot's /var/www>
set -eu
prefix=$1 port=$2 socket=$3 page=$4 www=$5
root=${www%/var/www}
example=$(dirname "$0")/../../packaging/lighttpd/50-webgated.conf
cat <<CONF
server.bind = "127.0.0.1"
server.port = $port
server.document-root = "$www/html"
server.errorlog = "$prefix/error.log"
server.upload-dirs = ( "$prefix" )
server.modules = ( "mod_indexfile" )
mimetype.assign = ( ".html" => "text/html", ".js" => "text/javascript", ".css" => "text/css",
                    ".png" => "image/png", ".svg" => "image/svg+xml" )
CONF
sed -e "s|/run/webgated.sock|$socket|" -e "s|/usr/share/webgated/www|$page|" \
    -e "s|\"/var/www/|\"$www/|g" -e "s|\"/home/corvanta/programs/|\"$root/home/corvanta/programs/|" "$example" >"$prefix/50-webgated.conf"
# A path the example names that was not moved would serve the machine's own files.
if grep -v '^ *#' "$prefix/50-webgated.conf" | grep -e '"/run/' -e '"/usr/share/webgated' -e '"/var/www/' -e '"/home/corvanta/' >&2; then
    echo "lighttpd-conf.sh: the example names a robot path the test does not move" >&2
    exit 1
fi
echo "include \"$prefix/50-webgated.conf\""
