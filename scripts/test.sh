#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds everything, runs the
# host tests (plain and under AddressSanitizer/UndefinedBehaviorSanitizer)
# with the power-cut sweep, a short fuzzing run, then the end-to-end runs in
# the UEFI Shell under QEMU.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORV_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh" || {
  echo "test: FAILED: installing what it needs (scripts/install-deps.sh, message above)"
  exit 1
}
"$root/scripts/build.sh"

echo "== host tests (and the power-cut sweep, build/tests/orv_powercut)"
(cd "$build" && ctest --output-on-failure -j"$(nproc)")

echo "== fuzzing (libFuzzer, about 15 s a target)"
"$root/scripts/fuzz.sh" "${ORV_FUZZ_SECONDS:-15}"

if [ -x "$root/e2e/run-e2e.sh" ]; then
  echo "== end-to-end tests (UEFI Shell under QEMU)"
  ORV_BUILD_DIR="$build" "$root/e2e/run-e2e.sh"
fi
