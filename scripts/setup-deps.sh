#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the tools need, when missing.
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  gsoap libgsoap-dev gsoap-doc
  libjpeg62-turbo-dev libpng-dev libtiff-dev libdeflate-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libsane-dev sane-utils
  libcairo2-dev poppler-utils pngcheck libtiff-tools
  dpkg-dev lintian mmdebstrap
  clang libclang-rt-14-dev
  python3
  avahi-daemon dbus iproute2
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  # avahi-daemon is for the discovery test, which starts one in a network of its own: the
  # package must not start one on the host's network, so services are refused while installing.
  policy=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    policy=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' | $sudo_cmd tee "$policy" >/dev/null
    $sudo_cmd chmod 755 "$policy"
  fi
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
  [ -z "$policy" ] || $sudo_cmd rm -f "$policy"
fi
