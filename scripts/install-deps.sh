#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: does nothing when everything is installed already.
set -euo pipefail

# clang and its runtime build the fuzz targets; srecord and python3-intelhex
# are the Intel HEX oracles of the interop tests; time gives /usr/bin/time -v
# (peak memory) to the benchmarks; toml++ and CLI11 read orvstick's manifest
# and command line.
PACKAGES=(g++ gcc cmake make gnu-efi libgtest-dev libgmock-dev
          qemu-system-x86 ovmf mtools dosfstools python3 binutils
          clang libclang-rt-14-dev srecord python3-intelhex time
          libtomlplusplus-dev libcli11-dev)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
