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
  dpkg-dev lintian
  clang libclang-rt-14-dev
  python3
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
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
