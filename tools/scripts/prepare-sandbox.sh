#!/bin/sh
# Lays out a sandbox root for the daemon: its configuration, the program store, a version file.
# Usage: prepare-sandbox.sh <root> <robot host:port> [demo]
#   demo   also the robot's web page (in /usr/share/webgated/www), annotated component settings, programs with a stand-in
#          interpreter, network files and stand-in network scripts, so every part of the page
#          has something to show (the demo and the browser tests)
set -eu
root=$1 robot=$2 mode=${3:-}
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

[ "$mode" = demo ] || exit 0

top=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$root/opt/taviron/etc" "$root/etc/network" "$root/etc/wpa_supplicant" "$root/tmp" \
    "$root/usr/local/bin"
# The page where the package puts it.
mkdir -p "$root/usr/share/webgated/www"
cp -R "$top/web/." "$root/usr/share/webgated/www/"

# Stand-ins for the robot's programs, started through /usr/bin/env in place of sudo. Each notes
# its arguments in run/<name>.args, so a change made in the page can be checked.
standin() {
    cat >"$root/usr/local/bin/$1" <<SCRIPT
#!/bin/sh
printf '%s\n' "\$*" >>"$root/run/$1.args"
echo "$1 \$*"
SCRIPT
    chmod 755 "$root/usr/local/bin/$1"
}
standin reconfigure_eth0.sh
standin reconfigure_wlan0.sh
standin mod_hostap.pl
# The graphical programming tool's interpreter: prints the program's lines, then counts.
cat >"$root/usr/local/bin/flowdesk2_interpreter" <<'SCRIPT'
#!/bin/bash
[ "$1" = -f ] || { echo "usage: flowdesk2_interpreter -f PROGRAM" >&2; exit 2; }
echo "interpreter: running $2"
while IFS= read -r line; do echo "> $line"; done <"$2"
for i in $(seq 1 120); do echo "step $i"; sleep 0.5; done
echo "interpreter: $2 finished"
SCRIPT
chmod 755 "$root/usr/local/bin/flowdesk2_interpreter"

cat >>"$root/etc/corvanta/webgated.conf" <<CONF

[Scripts]
sudo=/usr/bin/env
reconfigure_eth0_script=$root/usr/local/bin/reconfigure_eth0.sh
reconfigure_wlan0_script=$root/usr/local/bin/reconfigure_wlan0.sh
mod_hostap_script=$root/usr/local/bin/mod_hostap.pl

[Flowdesk]
path=$root/usr/local/bin/flowdesk2_interpreter
CONF

for name in square.rvw hello.rvw; do
    printf 'say "%s"\nmove 0.5 0\nturn 90\n' "$name" >"$root/home/corvanta/programs/$name"
done

# Two components whose settings the page edits, one with a restart rule.
cat >"$root/opt/taviron/etc/camera.conf" <<CONF
# Camera service of the robot
#@restart command begin
#@name Camera
#@cmd echo "camera restarted" >>$root/run/restarts
#@restart command end

[Camera]
#@web selection 320x240 640x480
resolution=640x480
#@web int
fps=10
#@web bool
autoExposure=1
#@web float 0 2.5 0.1
gain=1.2
CONF
cat >"$root/opt/taviron/etc/drive.conf" <<CONF
; Drive controller
[Drive]
#@web float 0 1 0.05
maxSpeed=0.5
#@web int
encoderTicks=1234567
#@web string
name=robot one
[Link]
#@web ip
controller=192.168.0.20
CONF

cat >"$root/etc/network/interfaces" <<CONF
auto lo
iface lo inet loopback

allow-hotplug eth0
iface eth0 inet static
    address 10.10.0.5
    netmask 255.255.0.0

auto wlan0
iface wlan0 inet static
    address 192.168.0.1
    netmask 255.255.255.0
    hostapd /etc/hostapd.conf
CONF
cat >"$root/etc/hostapd.conf" <<CONF
interface=wlan0
ssid=robot-ap
wpa=2
rsn_pairwise=CCMP
wpa_passphrase=robot secret
CONF
cat >"$root/etc/wpa_supplicant/wpa_supplicant.conf" <<CONF
network={
    ssid="lab"
    proto=RSN
    psk="lab passphrase"
}
CONF
