#!/bin/sh
# Prints an nginx configuration that serves the daemon on 127.0.0.1:<port>.
# Usage: nginx-conf.sh <prefix dir> <port> <fastcgi socket> <web root> [keepalive] [fastcgi_params]
#   /webgated?...   forwarded to the daemon over FastCGI; /metrics as the packaged snippet has it
#   /programs/      the program store as the packaged example serves it
#   everything else served from <web root> (the sandbox's /var/www)
#   keepalive       FastCGI connections stay open in an upstream keep-alive pool
#   fastcgi_params  Debian's parameter list is included (HTTP_HOST is then the host without port)
set -eu
prefix=$1 port=$2 socket=$3 www=$4 keepalive=${5:-} params=${6:-}
params_line=""
[ "$params" = fastcgi_params ] && params_line="include /etc/nginx/fastcgi_params;"
example=$(dirname "$0")/../../packaging/nginx/webgated.conf
programs=$(sed -n '/^location \/programs\/ {/,/^}/p' "$example" | sed "s|root /var/www;|root $www;|")
upstream="" pass="unix:$socket" keep_line=""
if [ "$keepalive" = keepalive ]; then
    upstream="upstream webgated { server unix:$socket; keepalive 8; }"
    pass="webgated"
    keep_line="fastcgi_keep_conn on;"
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
    large_client_header_buffers 4 64k;
    # The page's files; browsers load JavaScript modules only with a JavaScript type.
    types {
        text/html html;
        text/css css;
        text/javascript js;
        image/png png;
        image/svg+xml svg;
        application/json json;
    }
    default_type application/octet-stream;
    $upstream
    server {
        listen 127.0.0.1:$port;
        location = /webgated {
            fastcgi_pass $pass;
            $keep_line
            $params_line
            fastcgi_param QUERY_STRING \$query_string;
            fastcgi_param REQUEST_METHOD \$request_method;
        }
        location = /metrics {
            fastcgi_pass $pass;
            $keep_line
            fastcgi_pass_request_headers off;
            fastcgi_param QUERY_STRING '{"TYPE":"getMetrics"}';
            fastcgi_param REQUEST_METHOD GET;
            fastcgi_param HTTP_HOST localhost;
        }
        location / {
            root $www;
        }
$programs
    }
}
CONF
