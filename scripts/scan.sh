#!/usr/bin/env bash
# The main job: registers the driver module in a registry store of the user's own and scans one
# colour page into a PNG, from DEVICE when given, else from the simulated scanner embedded in
# cavix-scan. Nothing outside the build tree is touched (registry files and lock files live in
# BUILD/run unless CAVIX_REGISTRY_HKLM, CAVIX_REGISTRY_HKCU or CAVIX_LOCK_DIR say otherwise).
set -euo pipefail
build=${1:-build}
device=${2:-}
build=$(cd "$build" && pwd)
state="$build/run"
mkdir -p "$state"
export CAVIX_REGISTRY_HKLM=${CAVIX_REGISTRY_HKLM:-$state/hklm.reg}
export CAVIX_REGISTRY_HKCU=${CAVIX_REGISTRY_HKCU:-$state/hkcu.reg}
export CAVIX_LOCK_DIR=${CAVIX_LOCK_DIR:-$state/lock}
scan="$build/tools/cavix-scan"
module="$build/driver/libcavixdriver.so"
for f in "$scan" "$module"; do
  if [ ! -e "$f" ]; then
    echo "$f is not built; run: make scan" >&2
    exit 1
  fi
done
"$scan" register --module "$module"
out="$PWD/scan-$(date +%Y%m%d-%H%M%S).png"
if [ -n "$device" ]; then
  "$scan" --device "$device" --mode color -o "$out"
else
  "$scan" --mode color -o "$out"
fi
echo "scanned page: $out"
