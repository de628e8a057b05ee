#!/usr/bin/env bash
# Fetches the BearSSL sources the build compiles into the signature code:
# Debian's source package `bearssl`, through a source list of the build's own
# (the system's apt configuration is not touched), into .cache/bearssl/ of the
# work tree (or $ORV_CACHE_DIR/bearssl). Idempotent: once unpacked, nothing is
# fetched again and no network is needed.
#
# What is fetched is verified twice: apt-get checks the downloaded .dsc,
# .orig and .debian tarballs against the checksums of the Sources index,
# whose Release file it checks against Debian's archive key; dpkg-source then
# checks the tarballs against the checksums in the .dsc while it unpacks.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${ORV_CACHE_DIR:-$root/.cache}/bearssl
src=$cache/src
[ -f "$src/.unpacked" ] && exit 0

mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
mirror=${mirror:-http://deb.debian.org/debian}
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
apt_dir=$cache/apt
rm -rf "$apt_dir" "$cache/download" "$src"
mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$cache/download"
cat >"$apt_dir/parts/bearssl-src.sources" <<SOURCES
Types: deb-src
URIs: $mirror
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/parts"
          -o "Dir::State::Lists=$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
          -o APT::Sandbox::User=root)
echo "Fetching the BearSSL sources (Debian source package bearssl) into $cache"
apt-get "${apt_opts[@]}" update -qq
(cd "$cache/download" && apt-get "${apt_opts[@]}" source --download-only -qq bearssl)
dsc=$(ls "$cache"/download/bearssl_*.dsc)
# The .dsc's own uploader signature cannot be checked without the Debian
# keyring; its checksums came through apt's signed index above.
if ! dpkg-source -x "$dsc" "$src" >"$cache/unpack.log" 2>&1; then
  cat "$cache/unpack.log"
  exit 1
fi
[ -f "$src/inc/bearssl.h" ] || { echo "fetch-bearssl: $src/inc/bearssl.h missing"; exit 1; }
touch "$src/.unpacked"
