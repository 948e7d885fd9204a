#!/usr/bin/env bash
# Makes BUILD/package-root: a minimal Debian 12 root with the built package installed by apt, so
# that the package's declared dependencies, and nothing else of the build machine, are there.
# The only step that uses the network, with mmdebstrap's and apt's own downloads from the
# machine's configured apt sources; the checks (tests/packaging/CleanRootTest.sh) need none.
# The base root is made once per package list and sources and kept as a tarball in CACHE_DIR
# (default ~/.cache/cavix), beside the archives apt downloaded, so a later run only unpacks it.
# Needs root and mmdebstrap; exits 77 when the machine cannot build a root.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
cache=${CAVIX_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/cavix}
root="$build/package-root"
# What the checks use beside the package itself: scanimage and the dll meta-backend.
base_packages=sane-utils

if [ "$(id -u)" -ne 0 ] || ! command -v mmdebstrap >/dev/null 2>&1; then
  echo "package-root: needs root and mmdebstrap (apt-get install mmdebstrap): no clean root made"
  exit 77
fi
set -- "$build"/package/cavix_*.deb
[ "$#" -eq 1 ] && [ -f "$1" ] || { echo "package-root: expected one package in $build/package" >&2; exit 1; }
deb=$1
sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && sources+=("$f")
done
[ ${#sources[@]} -gt 0 ] || { echo "package-root: no apt sources configured" >&2; exit 1; }

key=$( (echo "bookworm $(dpkg --print-architecture) $base_packages"; cat "${sources[@]}") | sha256sum | cut -c1-16)
tarball="$cache/debian12-root-$key.tar"
mkdir -p "$cache/archives"
if [ ! -f "$tarball" ]; then
  start=$(date +%s)
  rm -f "$cache"/debian12-root-*.tar
  mmdebstrap --quiet --variant=apt --include="$base_packages" bookworm "$tarball.part" "${sources[@]}"
  mv "$tarball.part" "$tarball"
  echo "package-root: made $tarball in $(($(date +%s) - start)) s"
fi

rm -rf "$root" "$build/package-root.ready"
mkdir -p "$root"
tar -C "$root" -xf "$tarball"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/"
# apt's archives from earlier runs, so only what changed is downloaded again.
find "$cache/archives" -name '*.deb' -exec cp -t "$root/var/cache/apt/archives/" {} +
export DEBIAN_FRONTEND=noninteractive
chroot "$root" apt-get update -qq
chroot "$root" apt-get install -y -qq --no-install-recommends "/tmp/$(basename "$deb")"
find "$root/var/cache/apt/archives" -maxdepth 1 -name '*.deb' -exec cp -nt "$cache/archives/" {} +
chroot "$root" apt-get clean
rm -f "$root/tmp/$(basename "$deb")" "$root/etc/resolv.conf"
# The package's identity is its control data and files' checksums, the same when CPack makes it again.
dpkg-deb -I "$deb" md5sums control | sha256sum | cut -d' ' -f1 >"$build/package-root.ready"
echo "package-root: $root has $(basename "$deb") installed by apt"
