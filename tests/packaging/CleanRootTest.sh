#!/bin/sh
# The package on a clean Debian 12 root (made by scripts/package-root.sh, where apt installed it):
# in that root and a network namespace with only loopback, cavix-scan writes a PNG and a PDF
# from its embedded simulator, scanimage lists and scans the simulator configured in cavix.conf,
# cavix-scan list runs; then apt purges the package and nothing of it may be left.
# Usage: CleanRootTest.sh BUILD_DIR. Exits 77 when no root was made.
set -eu
build=$(cd "${1:-build}" && pwd)
root="$build/package-root"
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }
if [ ! -f "$build/package-root.ready" ]; then
    echo "no clean root (make package-root): skipped"
    exit 77
fi
set -- "$build"/package/cavix_*.deb
[ "$(dpkg-deb -I "$1" md5sums control | sha256sum | cut -d' ' -f1)" = "$(cat "$build/package-root.ready")" ] ||
    fail "the root holds another build's package: make package-root"
rm -f "$build/package-root.ready"  # the purge below changes the root

# Everything below runs in the root, in private mount and network namespaces.
unshare -n -m --propagation private sh -eu -c '
ip link set lo up
if ip route get 192.0.2.1 >/dev/null 2>&1; then echo "FAIL: a route leaves the namespace" >&2; exit 1; fi
mount -t proc proc "$1/proc"
mount --rbind /dev "$1/dev"
exec chroot "$1" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp/home sh -eu -s' sh "$root" <<'IN_ROOT'
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }
mkdir -p /tmp/home /tmp/out
cd /tmp/out
dpkg-query -W -f='${Status}' cavix | grep -qx 'install ok installed' || fail "apt did not install cavix"
dpkg -L cavix >/tmp/files

cavix-scan --mode color -r 75 -o page.png || fail "cavix-scan could not write a PNG"
cavix-scan --mode gray -r 75 -o page.pdf || fail "cavix-scan could not write a PDF"
[ "$(od -An -tx1 -N8 page.png | tr -d ' ')" = 89504e470d0a1a0a ] || fail "page.png is no PNG"
[ "$(head -c 5 page.pdf)" = %PDF- ] && tail -c 8 page.pdf | grep -q '%%EOF' || fail "page.pdf is no whole PDF"

echo simulator >>/etc/sane.d/cavix.conf
scanimage -L >list 2>list.err || fail "scanimage -L: $(cat list.err)"
name=$(sed -n "s/^device \`\(cavix:[^']*\)' is a .*simulat.*$/\1/p; s/^device \`\(cavix:[^']*\)' is a Cavix .*$/\1/p" list | head -n1)
[ -n "$name" ] || fail "scanimage -L does not list the simulator: $(cat list list.err)"
scanimage -d "$name" --mode Gray --resolution 75 -x 50 -y 40 --format=pnm -o page.pnm 2>scan.err ||
    fail "scanimage: $(cat scan.err)"
[ "$(head -c 2 page.pnm)" = P5 ] && [ "$(stat -c %s page.pnm)" -gt 10000 ] || fail "scanimage wrote no grey page"
cavix-scan list >found || fail "cavix-scan list: $(cat found)"

apt-get purge -y -qq cavix >/tmp/purge.log 2>&1 || fail "apt purge: $(cat /tmp/purge.log)"
dpkg-query -W -f='${Status}' cavix 2>/dev/null | grep -q . && fail "dpkg still knows cavix after the purge"
while read -r f; do
    [ -d "$f" ] || [ ! -e "$f" ] || fail "the purge left $f"
done </tmp/files
cd / && rm -rf /tmp/out /tmp/home /tmp/files /tmp/purge.log
left=$(find / -xdev \( -path /proc -o -path /dev \) -prune -o -iname '*cavix*' -print)
[ -z "$left" ] || fail "the purge left: $left"
[ ! -e /run/lock/cavix ] || fail "the purge left the lock directory: $(ls -A /run/lock/cavix)"
echo "clean root: installed by apt, scanned, listed, purged without a trace"
IN_ROOT
