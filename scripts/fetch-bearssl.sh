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
#
# Only the mirror's address is taken from the machine's package sources
# (either form; no deb-src line is needed). ORV_DEBIAN_MIRROR names another;
# ORV_APT_ETC reads the sources of another apt folder (default /etc/apt).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${ORV_CACHE_DIR:-$root/.cache}/bearssl
src=$cache/src
[ -f "$src/.unpacked" ] && exit 0

# Every failure says what failed and what to do; none ends the script silently.
fail() {
  echo "fetch-bearssl: FAILED: $1" >&2
  echo "fetch-bearssl: what to do: $2" >&2
  exit 1
}
trap 'fail "line $LINENO: $BASH_COMMAND (status $?)" "run scripts/fetch-bearssl.sh again and read the message above it"' ERR

. "$root/scripts/lib/apt-sources.sh"
suite=$( (. /etc/os-release && echo "${VERSION_CODENAME:-}") 2>/dev/null || true)
suite=${suite:-bookworm}
mirror=${ORV_DEBIAN_MIRROR:-$(orv_debian_mirror "$suite" "${ORV_APT_ETC:-/etc/apt}" || true)}
if [ -z "$mirror" ]; then
  mirror=http://deb.debian.org/debian
  echo "fetch-bearssl: no Debian mirror in ${ORV_APT_ETC:-/etc/apt}'s package sources; using $mirror"
fi
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
[ -f "$keyring" ] || fail "$keyring is missing" \
  "install the package debian-archive-keyring (sudo apt-get install debian-archive-keyring)"
apt_dir=$cache/apt
rm -rf "$apt_dir" "$cache/download" "$src"
mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$cache/download"
cat >"$apt_dir/parts/bearssl-src.sources" <<SOURCES
Types: deb-src
URIs: $mirror
Suites: $suite
Components: main
Signed-By: $keyring
SOURCES
apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/parts"
          -o "Dir::State::Lists=$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
          -o APT::Sandbox::User=root)
echo "Fetching the BearSSL sources (Debian source package bearssl) into $cache"
apt-get "${apt_opts[@]}" update -qq ||
  fail "cannot read the source index of $mirror ($suite)" \
    "check the network, or name a reachable Debian mirror: ORV_DEBIAN_MIRROR=http://... $0"
(cd "$cache/download" && apt-get "${apt_opts[@]}" source --download-only -qq bearssl) ||
  fail "cannot download the source package bearssl from $mirror ($suite)" \
    "check the network and that the mirror serves source packages (ORV_DEBIAN_MIRROR names another)"
dsc=$(ls "$cache"/download/bearssl_*.dsc 2>/dev/null | head -1 || true)
[ -n "$dsc" ] || fail "no bearssl_*.dsc in $cache/download after the download" \
  "delete $cache and run scripts/fetch-bearssl.sh again"
# The .dsc's own uploader signature cannot be checked without the Debian
# keyring; its checksums came through apt's signed index above.
if ! dpkg-source -x "$dsc" "$src" >"$cache/unpack.log" 2>&1; then
  cat "$cache/unpack.log" >&2
  fail "dpkg-source could not unpack $dsc (log above)" \
    "install dpkg-dev and xz-utils (scripts/install-deps.sh), delete $cache, run it again"
fi
[ -f "$src/inc/bearssl.h" ] || fail "$src/inc/bearssl.h is missing after unpacking" \
  "delete $cache and run scripts/fetch-bearssl.sh again"
touch "$src/.unpacked"
