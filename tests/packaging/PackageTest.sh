#!/bin/sh
# The Debian package from end to end. Usage: PackageTest.sh build|scan|lintian BUILD_DIR CMAKE
#   build    makes the package with CPack into BUILD_DIR/package
#   scan     unpacks it into a staging root (dpkg-deb -x), runs its install script there, scans
#            one page through scanimage with the staged backend and configuration; then dpkg
#            installs and purges it in a root of its own, and purge removes or keeps the store
#   lintian  lintian reports no errors and no warnings (skipped, exit 77, when lintian is missing)
set -eu
what=$1
build=$2
cmake=$3
cpack="$(dirname "$cmake")/cpack"

fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }

the_deb() {
    set -- "$build"/package/cavix_*.deb
    [ "$#" -eq 1 ] && [ -f "$1" ] || fail "expected one package in $build/package, found: $*"
    echo "$1"
}

case "$what" in
build)
    rm -rf "$build/package"
    (cd "$build" && "$cpack" -G DEB --config CPackConfig.cmake) || fail "cpack failed"
    deb=$(the_deb)
    echo "built $deb"
    exit 0
    ;;
lintian)
    if ! command -v lintian >/dev/null 2>&1; then
        echo "lintian is not installed: skipping the lintian check"
        exit 77
    fi
    deb=$(the_deb)
    # Errors fail; warnings and notes are shown.
    lintian --fail-on error,warning --tag-display-limit 0 "$deb" || fail "lintian reports errors or warnings"
    exit 0
    ;;
scan) ;;
*) fail "unknown step $what" ;;
esac

deb=$(the_deb)
work=$(mktemp -d "${TMPDIR:-/tmp}/cavix-package-XXXXXX")
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
stage="$work/root"
mkdir -p "$stage"
dpkg-deb -x "$deb" "$stage"
dpkg-deb -e "$deb" "$stage/DEBIAN"
ma=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)

# What the package installs, where a Debian system has it.
for f in usr/lib/$ma/cavix/libcavixdriver.so usr/lib/$ma/cavix/libcavixsoapglue.so usr/lib/$ma/cavix/libzkdisc01.so \
         usr/lib/$ma/cavix/libcavixpng.so usr/lib/$ma/cavix/libcavixtiff.so usr/lib/$ma/cavix/libcavixpdf.so \
         usr/lib/$ma/sane/libsane-cavix.so.1 \
         etc/sane.d/dll.d/cavix etc/sane.d/cavix.conf usr/bin/cavix-scan usr/bin/cavix-devsim \
         usr/share/man/man1/cavix-scan.1.gz usr/share/man/man1/cavix-devsim.1.gz usr/share/man/man5/sane-cavix.5.gz \
         usr/lib/tmpfiles.d/cavix.conf usr/share/doc/cavix/copyright usr/share/doc/cavix/changelog.gz; do
    [ -e "$stage/$f" ] || fail "the package lacks /$f"
done
grep -qx 'cavix' "$stage/etc/sane.d/dll.d/cavix" || fail "dll.d/cavix does not name the backend"
grep -Eqv '^[[:space:]]*(#|$)' "$stage/etc/sane.d/cavix.conf" && fail "cavix.conf has an active line"
grep -Eq '^d /run/lock/cavix 1777 ' "$stage/usr/lib/tmpfiles.d/cavix.conf" || fail "tmpfiles.d entry for /run/lock/cavix"
for c in /etc/sane.d/cavix.conf /etc/sane.d/dll.d/cavix; do
    grep -qx "$c" "$stage/DEBIAN/conffiles" || fail "$c is not a conffile"
done
zcat "$stage/usr/share/man/man1/cavix-scan.1.gz" | grep -q '^\.TH CAVIX-SCAN 1' || fail "cavix-scan(1) is no manual page"

# No shared library of the package sits among the system's shared libraries.
for f in "$stage/usr/lib/$ma"/*.so*; do
    [ -e "$f" ] && fail "$(basename "$f") is installed among the system's shared libraries"
done

# The install script registers the staged module in the staged system store.
export DPKG_ROOT="$stage"
"$stage/DEBIAN/postinst" configure || fail "postinst failed"
store="$stage/etc/cavix/hklm.reg"
grep -q "InprocServer32" "$store" || fail "postinst did not register the module"
grep -qF "\"/usr/lib/$ma/cavix/libcavixdriver.so\"" "$store" || fail "the registration does not name the installed module"
[ "$(stat -c %a "$store")" = 644 ] || fail "the store is not readable by every user"
# The scan below loads the staged module: a store of its own registers it where it lies.
store="$work/staged-hklm.reg"
CAVIX_REGISTRY_HKLM="$store" "$stage/usr/bin/cavix-scan" register --module "$stage/usr/lib/$ma/cavix/libcavixdriver.so" \
    >/dev/null || fail "cannot register the staged module"

# A staged simulated scanner that only discovery names; scanimage finds and scans it.
addr=127.0.81.2
mac=02:00:5E:51:00:02
"$stage/usr/bin/cavix-devsim" --listen "$addr" --model vqm470 >"$work/devsim.log" 2>&1 &
sim_pid=$!
i=0
until grep -q "$addr" "$work/devsim.log" 2>/dev/null || [ $i -ge 100 ]; do sleep 0.1; i=$((i + 1)); done
printf '%s %s\n' "$mac" "$addr" >"$work/neighbours"
export CAVIX_NEIGHBOUR_TABLE="$work/neighbours" CAVIX_REGISTRY_HKLM="$store" CAVIX_REGISTRY_HKCU="$work/hkcu.reg" \
       CAVIX_LOCK_DIR="$work/lock" SANE_CONFIG_DIR="$stage/etc/sane.d" LD_LIBRARY_PATH="$stage/usr/lib/$ma/sane"
if ! command -v scanimage >/dev/null 2>&1; then
    echo "scanimage is not installed: skipping the scan"
    exit 77
fi
# The staged configuration has no dll.conf of its own: the dll backend reads dll.d.
scanimage -L >"$work/list" 2>"$work/list.err" || fail "scanimage -L: $(cat "$work/list.err")"
name=$(sed -n "s/^device \`\(cavix:.*macaddr:$mac.*ipaddr:$addr.*\)' is a Cavix vqm470 .*$/\1/p" "$work/list")
[ -n "$name" ] || fail "scanimage -L does not list the scanner: $(cat "$work/list") $(cat "$work/list.err")"
scanimage -d "$name" --mode Gray --resolution 75 -l 0 -t 0 -x 50 -y 40 --format=pnm -o "$work/page.pnm" 2>"$work/scan.err" \
    || fail "scanimage: $(cat "$work/scan.err")"
# 50 mm wide at 75 dpi: 147 grey pixels; the driver may enlarge a short region.
header=$(head -c 64 "$work/page.pnm" | grep -av '^#' | head -n 3 | tr '\n' ' ')
echo "$header" | grep -Eq '^P5 14[0-9] 1[0-9][0-9] 255 $' || fail "page.pnm begins with '$header'"
[ "$(stat -c %s "$work/page.pnm")" -gt 10000 ] || fail "page.pnm is too small"
# cavix-scan finds each format's writer library in the package's directory.
for f in png tiff pdf; do
    "$stage/usr/bin/cavix-scan" --device "$addr" --mode gray -r 75 --region 0,0,50,40 -q --progress none \
        -o "$work/page.$f" 2>"$work/scan.err" || fail "cavix-scan to $f: $(cat "$work/scan.err")"
done

# dpkg itself installs and purges the package in a root of its own (install scripts run outside
# a chroot with DPKG_ROOT set): purge removes the store the package made, and keeps one the user
# changed.
droot="$work/dpkg-root"
mkdir -p "$droot/var/lib/dpkg/info" "$droot/var/lib/dpkg/updates"
: >"$droot/var/lib/dpkg/status"
dpkg_root() {
    PATH="$PATH:/usr/sbin:/sbin" DPKG_ROOT="$droot" dpkg --root="$droot" --log="$work/dpkg.log" --force-script-chrootless --force-depends \
        --force-not-root "$@" >>"$work/dpkg.out" 2>&1 || fail "dpkg $*: $(cat "$work/dpkg.out")"
}
unset DPKG_ROOT
dpkg_root -i "$deb"
store="$droot/etc/cavix/hklm.reg"
grep -q "InprocServer32" "$store" || fail "dpkg -i did not register the module"
dpkg_root --purge cavix
[ ! -e "$store" ] || fail "purge left the package's own store"
[ ! -e "$droot/etc/sane.d/cavix.conf" ] || fail "purge left cavix.conf"
dpkg_root -i "$deb"
printf '\n[HKEY_LOCAL_MACHINE\\Software\\Mine]\n"Kept"="yes"\n' >>"$store"
dpkg_root --purge cavix
grep -q '"Kept"="yes"' "$store" || fail "purge removed a store the user changed"
grep -q "keeping $store" "$work/dpkg.out" || fail "purge did not say it kept the store"
echo "package installs, registers, scans and purges as it should"
