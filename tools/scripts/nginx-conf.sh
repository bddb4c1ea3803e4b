#!/bin/sh
# Prints an nginx configuration that serves the daemon on 127.0.0.1:<port> the way a robot does:
# a server block like Debian's default site (a root and a location / of its own) that includes
# the packaged snippet (packaging/nginx/webgated.conf). The snippet is copied to
# <prefix dir>/snippets/webgated.conf with only the robot's paths moved to the given ones.
# Usage: nginx-conf.sh <prefix dir> <port> <fastcgi socket> <page dir> <robot's /var/www> [keepalive] [fastcgi_params]
#   page dir        what the robot has in /usr/share/webgated/www
#   robot's /var/www  the program store link and the package list; its html/ is the site's root
#   keepalive       FastCGI connections stay open in an upstream keep-alive pool
#   fastcgi_params  Debian's parameter list is included (HTTP_HOST is then the host without port)
set -eu
prefix=$1 port=$2 socket=$3 page=$4 www=$5 keepalive=${6:-} params=${7:-}
snippet=$(dirname "$0")/../../packaging/nginx/webgated.conf
pass="unix:$socket" upstream="" keep_line=""
if [ "$keepalive" = keepalive ]; then
    upstream="upstream webgated { server unix:$socket; keepalive 8; }"
    pass="webgated; fastcgi_keep_conn on"
fi
params_line=""
[ "$params" = fastcgi_params ] && params_line="include /etc/nginx/fastcgi_params;"
mkdir -p "$prefix/snippets"
sed -e "s|fastcgi_pass unix:/run/webgated.sock|fastcgi_pass $pass|" \
    -e "s|^location = /webgated {\$|&$params_line|" \
    -e "s|root /usr/share/webgated/www;|root $page;|" -e "s|root /var/www;|root $www;|" \
    "$snippet" >"$prefix/snippets/webgated.conf"
# A path the snippet names that was not moved would serve the machine's own files.
if grep -v '^ *#' "$prefix/snippets/webgated.conf" | grep -e 'unix:/run/' -e ' /usr/share/webgated/www' -e ' /var/www' >&2; then
    echo "nginx-conf.sh: the snippet names a robot path the test does not move" >&2
    exit 1
fi
user_line=""
# Started as root, nginx would run its workers as nobody, who cannot reach a private sandbox.
[ "$(id -u)" = 0 ] && user_line="user root;"
cat <<CONF
$user_line
worker_processes 1;
# One process: nothing is left behind, however the server is ended.
master_process off;
daemon off;
error_log $prefix/error.log warn;
pid $prefix/nginx.pid;
events { worker_connections 512; }
http {
    access_log off;
    client_body_temp_path $prefix/body;
    fastcgi_temp_path $prefix/fastcgi;
    proxy_temp_path $prefix/proxy;
    uwsgi_temp_path $prefix/uwsgi;
    scgi_temp_path $prefix/scgi;
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    $upstream
    # Debian's default site, its root moved; the snippet goes in as the README says.
    server {
        listen 127.0.0.1:$port default_server;
        root $www/html;
        index index.html index.htm;
        server_name _;
        location / {
            try_files \$uri \$uri/ =404;
        }
        include snippets/webgated.conf;
    }
}
CONF
