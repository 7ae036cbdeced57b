#!/usr/bin/env bash
# Installs the Debian packages the build and tests need (only what is missing).
set -euo pipefail
packages=(build-essential cmake libgtest-dev libbenchmark-dev pkg-config binutils libsndfile1-dev libsoxr-dev python3 python3-numpy
  python3-venv python3-setuptools python3-wheel "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
