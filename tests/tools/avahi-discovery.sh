#!/bin/sh
# Simulators that announce themselves through Avahi alone (WS-Discovery off), on IPv4 and IPv6,
# are found by `cavix-scan list --discovery avahi`. Runs in a network and mount namespace of its
# own: a private D-Bus system bus, an avahi-daemon on one end of a veth pair inside the
# namespace (the daemon takes no loopback), nothing reaching any other host. Skips (77) with the reason when the
# daemon or a namespace cannot be had.
#   avahi-discovery.sh CAVIX_SCAN CAVIX_DEVSIM
set -eu
scan=$1 devsim=$2
if [ "${CAVIX_AVAHI_NAMESPACE:-}" != 1 ]; then
  for tool in avahi-daemon dbus-daemon unshare ip; do
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool is not installed"; exit 77; }
  done
  unshare -n -m true 2>/dev/null || { echo "SKIP: no network and mount namespace of its own (needs root)"; exit 77; }
  CAVIX_AVAHI_NAMESPACE=1 exec unshare -n -m sh "$0" "$@"
fi

work=$(mktemp -d)
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  for p in $pids; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

ip link set lo up
ip link add cavixmd0 type veth peer name cavixmd1
ip link set cavixmd0 multicast on up
ip link set cavixmd1 up
ip addr add 10.231.7.1/24 dev cavixmd0
# The daemon's pid file and socket live here, apart from any daemon of the host.
mount --make-rprivate / 2>/dev/null || true
mount -t tmpfs tmpfs /run/avahi-daemon 2>/dev/null || { mkdir -p /run/avahi-daemon && mount -t tmpfs tmpfs /run/avahi-daemon; }

cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
cat >"$work/avahi.conf" <<CONF
[server]
use-ipv4=yes
use-ipv6=yes
allow-interfaces=cavixmd0
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
CONF
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus"
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile >"$work/bus.log" 2>&1 &
pids="$pids $!"
for _ in $(seq 50); do [ -S "$work/bus" ] && break; sleep 0.1; done
avahi-daemon -f "$work/avahi.conf" --no-drop-root --no-chroot --no-rlimits --no-proc-title >"$work/avahi.log" 2>&1 &
pids="$pids $!"
ready=0
for _ in $(seq 100); do
  grep -q "Server startup complete" "$work/avahi.log" && { ready=1; break; }
  sleep 0.1
done
if [ "$ready" != 1 ]; then
  echo "SKIP: avahi-daemon did not start here:"; cat "$work/avahi.log"; exit 77
fi

# Two simulators of one model: their services must not take each other's name.
"$devsim" --listen 127.0.0.61 --no-wsd >"$work/sim.log" 2>&1 &
pids="$pids $!"
"$devsim" --listen ::1 --no-wsd >>"$work/sim.log" 2>&1 &
pids="$pids $!"
# The daemon probes the names before it answers for them: a few searches, each bounded.
found=""
for _ in $(seq 10); do
  found=$("$scan" list --discovery avahi 2>&1) || true
  case $found in *127.0.0.61*::1*|*::1*127.0.0.61*) break ;; esac
  sleep 0.5
done
printf "%s\n" "$found"
case $found in
  *127.0.0.61*::1*|*::1*127.0.0.61*) ;;
  *) echo "FAIL: the simulators published through Avahi were not both listed"; cat "$work/avahi.log" "$work/sim.log"; exit 1 ;;
esac
# With WS-Discovery alone the same simulators stay unseen: it said nothing there.
if "$scan" list --discovery wsd 2>&1 | grep -q -e 127.0.0.61 -e ::1; then
  echo "FAIL: found by WS-Discovery although it announces through Avahi alone"; exit 1
fi
echo "PASS"
