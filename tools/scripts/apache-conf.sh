#!/bin/sh
# Prints an Apache 2.4 configuration that serves the daemon on 127.0.0.1:<port> through
# mod_proxy_fcgi, its FastCGI connections kept and reused (enablereuse=on).
# Usage: apache-conf.sh <prefix dir> <port> <fastcgi socket> <web root>
#   /webgated?...   forwarded to the daemon over FastCGI
#   everything else served from <web root> (the sandbox's /var/www)
# Run it as `apache2 -X -f <file>`. Started as root, its worker runs as www-data, which must be
# able to reach the socket.
set -eu
prefix=$1 port=$2 socket=$3 www=$4
modules=/usr/lib/apache2/modules
cat <<CONF
ServerRoot $prefix
DefaultRuntimeDir $prefix
PidFile $prefix/apache2.pid
ErrorLog $prefix/error.log
LogLevel warn
ServerName localhost
Listen 127.0.0.1:$port
LoadModule mpm_event_module $modules/mod_mpm_event.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule proxy_module $modules/mod_proxy.so
LoadModule proxy_fcgi_module $modules/mod_proxy_fcgi.so
User www-data
Group www-data
DocumentRoot $www
<Directory $www>
    Require all granted
</Directory>
# The worker the handler below matches: one pool of kept connections to the daemon.
<Proxy "fcgi://webgated/" enablereuse=on max=8>
</Proxy>
<Location "/webgated">
    SetHandler "proxy:unix:$socket|fcgi://webgated/"
</Location>
CONF
