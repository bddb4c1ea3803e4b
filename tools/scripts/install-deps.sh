#!/bin/sh
# Installs the Debian 12 packages webgated needs to build, test and run (as root, or with sudo).
# Usage: install-deps.sh [extra package...]   (CI adds the packaging and Qt 5 tools)
set -eu
packages="cmake ninja-build g++ pkg-config ccache qt6-base-dev libfcgi-dev libjansson-dev
  libgtest-dev libgmock-dev libbenchmark-dev libjpeg-dev nginx-light spawn-fcgi wrk curl strace
  clang libclang-rt-dev valgrind chromium chromium-driver python3-selenium lighttpd apache2 systemd
  libsystemd-dev sudo dpkg-dev lintian $*"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
run=""
[ "$(id -u)" = 0 ] || run="sudo"
echo "Installing:$missing"
$run apt-get update -qq
DEBIAN_FRONTEND=noninteractive $run apt-get install -y -qq --no-install-recommends $missing >/dev/null
