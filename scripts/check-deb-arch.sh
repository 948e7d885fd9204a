#!/bin/sh
# Checks a package built for another processor: its architecture field, its libraries in that
# processor's multiarch directory, and every ELF file in it built for that processor.
# Usage: check-deb-arch.sh PACKAGE.deb MACHINE (as `file` names it: aarch64, x86-64).
set -eu
deb=$1
machine=$2
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }
[ -f "$deb" ] || fail "no package $deb"
arch=$(dpkg-deb -f "$deb" Architecture)
ma=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -c "$deb" >"$work/list"
for f in usr/lib/$ma/cavix/libcavixdriver.so usr/lib/$ma/cavix/libcavixsoapglue.so usr/lib/$ma/cavix/libzkdisc01.so \
         usr/lib/$ma/cavix/libcavixpng.so usr/lib/$ma/cavix/libcavixtiff.so usr/lib/$ma/cavix/libcavixpdf.so \
         usr/lib/$ma/sane/libsane-cavix.so.1 usr/bin/cavix-scan usr/bin/cavix-devsim; do
    grep -q " \./$f\( \|$\)" "$work/list" || fail "$deb lacks /$f"
done
dpkg-deb -x "$deb" "$work/root"
elves=0
for f in $(find "$work/root" -type f); do
    what=$(file -b "$f")
    case "$what" in
    ELF*) elves=$((elves + 1))
          echo "$what" | grep -q "$machine" || fail "${f#"$work/root"} is not for $machine: $what" ;;
    esac
done
[ "$elves" -ge 9 ] || fail "only $elves ELF files in $deb"
echo "$deb: $arch, $elves ELF files for $machine, libraries in /usr/lib/$ma"
