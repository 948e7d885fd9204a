#!/usr/bin/env bash
# Installs, when missing, what the arm64 cross build and its emulated tests need: Debian's cross
# toolchain, qemu's user-mode emulator and the arm64 development packages (multiarch); then lets
# the kernel run arm64 programs through qemu (binfmt_misc), since tests start programs of their
# own (the simulator, lock holders) that the test runner's emulator setting does not reach.
set -euo pipefail
packages=(
  g++-aarch64-linux-gnu qemu-user-static binfmt-support
  libgsoap-dev:arm64 libjpeg62-turbo-dev:arm64 libpng-dev:arm64 libtiff-dev:arm64
  libcairo2-dev:arm64 libgtest-dev:arm64 libgmock-dev:arm64 libsane-dev:arm64
)
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
export DEBIAN_FRONTEND=noninteractive
added=0
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $sudo_cmd dpkg --add-architecture arm64
  added=1
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ "$added" -eq 1 ]; then
  echo "installing: ${missing[*]}"
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
  $sudo_cmd mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
  $sudo_cmd update-binfmts --enable qemu-aarch64
fi
