#!/usr/bin/env bash
# Fetches the Linux guest of the ESRT e2e case: Debian's own kernel (the
# package linux-image-amd64 depends on; its EFI stub starts from the UEFI
# Shell) and busybox-static, through the system's apt sources, into
# .cache/linux-guest/ of the work tree (or $ORV_CACHE_DIR/linux-guest).
# apt-get checks the packages against the signed index. Idempotent: once
# unpacked, nothing is fetched again and no network is needed.
#
# Leaves: vmlinuz.efi (the kernel) and busybox (static) in that folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${ORV_CACHE_DIR:-$root/.cache}/linux-guest
[ -f "$cache/.unpacked" ] && exit 0

# The kernel package linux-image-amd64 depends on; empty when apt knows none
# (never the silent end of the script under pipefail).
kernel_package() {
  { apt-cache depends linux-image-amd64 2>/dev/null || true; } |
    sed -n 's/^ *Depends: *\(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -1
}
kernel=$(kernel_package)
if [ -z "$kernel" ]; then
  # A machine whose packages were all installed may never have read the
  # package lists: read them once, then ask again.
  sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq || true
  kernel=$(kernel_package)
fi
if [ -z "$kernel" ]; then
  echo "fetch-linux-guest: FAILED: apt knows no linux-image-amd64" >&2
  echo "what to do: check the package sources in /etc/apt and run apt-get update" >&2
  exit 1
fi
rm -rf "$cache/download" "$cache/root"
mkdir -p "$cache/download" "$cache/root"
echo "Fetching $kernel and busybox-static into $cache"
(cd "$cache/download" && apt-get -o APT::Sandbox::User=root download -qq "$kernel" busybox-static)
for deb in "$cache"/download/*.deb; do dpkg-deb -x "$deb" "$cache/root"; done
cp "$cache"/root/boot/vmlinuz-* "$cache/vmlinuz.efi"
cp "$cache/root/bin/busybox" "$cache/busybox"
rm -rf "$cache/root" "$cache/download"
touch "$cache/.unpacked"
