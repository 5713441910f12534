#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine, when it
# is missing. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  python3 python3-dev libpython3-dev
  python3-numpy python3-lxml python3-cryptography
  nlohmann-json3-dev libssl-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev
  mypy dpkg-dev file help2man lintian
  libpcap-dev libndpi-dev libndpi-bin
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
