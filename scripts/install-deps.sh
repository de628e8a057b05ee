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
          libtomlplusplus-dev libcli11-dev dpkg-dev xz-utils openssl ca-certificates
          debian-archive-keyring)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
# Every failure says what failed and what to do; none ends the script silently.
fail() {
  echo "install-deps: FAILED: $1" >&2
  echo "install-deps: what to do: $2" >&2
  exit 1
}
trap 'fail "line $LINENO: $BASH_COMMAND (status $?)" "run scripts/install-deps.sh again and read the message above it"' ERR

SUDO=()
if [ ${#missing[@]} -ne 0 ] && [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null ||
    fail "installing ${missing[*]} needs root, and sudo is missing" \
      "run scripts/install-deps.sh as root, or install sudo"
  SUDO=(sudo)
fi
if [ ${#missing[@]} -ne 0 ]; then
  echo "Installing: ${missing[*]}"
  "${SUDO[@]}" apt-get update -qq ||
    fail "apt-get update" \
      "check the network and the package sources in /etc/apt (sudo apt-get update shows the error)"
  DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" ||
    fail "apt-get install ${missing[*]}" \
      "run sudo apt-get install ${missing[*]} to see which package cannot be installed"
fi

# The cryptography library's sources (cached in the work tree after the first run).
"$(dirname "$0")/fetch-bearssl.sh" ||
  fail "fetching the BearSSL sources (scripts/fetch-bearssl.sh, message above)" \
    "fix what it names, then run scripts/install-deps.sh again"
