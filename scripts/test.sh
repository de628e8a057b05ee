#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds everything, runs the
# host tests (plain and under AddressSanitizer/UndefinedBehaviorSanitizer)
# with the power-cut sweep, a short fuzzing run, then the end-to-end runs in
# the UEFI Shell under QEMU. A step that fails ends the run with one line
# naming it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORV_BUILD_DIR:-$root/build}

# Runs a step; when it fails, says which and stops.
step() {
  local what=$1
  shift
  "$@" || {
    echo "test: FAILED: $what (status $?, message above)"
    exit 1
  }
}

step "installing what it needs (scripts/install-deps.sh)" "$root/scripts/install-deps.sh"
# The Linux guest of the ESRT end-to-end case (cached in the work tree).
step "fetching the Linux guest (scripts/fetch-linux-guest.sh)" "$root/scripts/fetch-linux-guest.sh"
step "the build (scripts/build.sh)" "$root/scripts/build.sh"

echo "== host tests (and the power-cut sweep, build/tests/orv_powercut)"
step "the host tests (ctest in $build)" bash -c 'cd "$1" && ctest --output-on-failure -j"$(nproc)"' _ "$build"

echo "== fuzzing (libFuzzer, about 15 s a target)"
step "the fuzzing run (scripts/fuzz.sh)" "$root/scripts/fuzz.sh" "${ORV_FUZZ_SECONDS:-15}"

echo "== end-to-end tests (UEFI Shell under QEMU)"
step "the end-to-end tests (e2e/run-e2e.sh)" env ORV_BUILD_DIR="$build" "$root/e2e/run-e2e.sh"
