#!/usr/bin/env bash
# Scans one colour page into a PNG: from DEVICE when given, else from the embedded simulated
# scanner. Uses a registry store of the user's own, so nothing outside the build tree is touched.
set -euo pipefail
build=${1:-build}
device=${2:-}
state="$build/run"
mkdir -p "$state"
export CAVIX_REGISTRY_HKLM=${CAVIX_REGISTRY_HKLM:-$PWD/$state/hklm.reg}
export CAVIX_REGISTRY_HKCU=${CAVIX_REGISTRY_HKCU:-$PWD/$state/hkcu.reg}
export CAVIX_LOCK_DIR=${CAVIX_LOCK_DIR:-$PWD/$state/lock}
scan="$build/tools/cavix-scan"
if [ ! -x "$scan" ]; then
  echo "cavix-scan is not built yet; the tests are what can be run: make test" >&2
  exit 1
fi
"$scan" register --module "$PWD/$build/driver/libcavixdriver.so"
out="$PWD/scan-$(date +%Y%m%d-%H%M%S).png"
if [ -n "$device" ]; then
  "$scan" --device "$device" --mode color -o "$out"
else
  "$scan" --mode color -o "$out"
fi
echo "scanned page: $out"
