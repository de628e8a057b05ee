#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: does nothing when everything is installed already.
set -euo pipefail

# clang and its runtime build the fuzz targets; srecord and python3-intelhex
# are the Intel HEX oracles of the interop tests; time gives /usr/bin/time -v
# (peak memory) to the benchmarks; toml++ and CLI11 read orvstick's manifest
# and command line; dpkg-dev and xz-utils unpack the BearSSL source package;
# openssl is the oracle of the signature tests.
PACKAGES=(g++ gcc cmake make gnu-efi libgtest-dev libgmock-dev
          qemu-system-x86 ovmf mtools dosfstools python3 binutils
          clang libclang-rt-14-dev srecord python3-intelhex time
          libtomlplusplus-dev libcli11-dev dpkg-dev xz-utils openssl ca-certificates)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
if [ ${#missing[@]} -ne 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The cryptography library's sources (cached in the work tree after the first run).
"$(dirname "$0")/fetch-bearssl.sh"
