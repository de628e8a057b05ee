#!/usr/bin/env bash
# Configures and builds everything (UEFI images, host tools, host tests) into
# build/ (or $ORV_BUILD_DIR). Pass target names to build only those, for
# example: scripts/build.sh OrvUpdate
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORV_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || {
  echo "build: FAILED: configuring $build (cmake's message above)"
  exit 1
}
if [ $# -gt 0 ]; then
  for t in "$@"; do
    cmake --build "$build" -j"$(nproc)" --target "$t" || {
      echo "build: FAILED: building $t (the compiler's message above)"
      exit 1
    }
  done
else
  cmake --build "$build" -j"$(nproc)" || {
    echo "build: FAILED: building everything (the compiler's message above)"
    exit 1
  }
fi
