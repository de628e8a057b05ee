#!/usr/bin/env bash
# The demo: installs what it needs, builds everything, then updates two
# simulated ICs with OrvUpdate.efi in the UEFI Shell under QEMU and shows the
# console and a before/after summary read back from the simulated flash.
# Exits 0 only when both ICs really run the new image.
#   ORV_BUILD_DIR  build directory (default build/)
#   DEMO_DIR       where the demo volume and console log go (default $ORV_BUILD_DIR/demo)
#   DEMO_TIMEOUT   seconds allowed for the QEMU boot (default 180)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export ORV_BUILD_DIR=${ORV_BUILD_DIR:-$root/build}

echo "== installing packages (if missing)"
"$root/scripts/install-deps.sh" || {
  echo "demo: FAILED: installing what it needs (scripts/install-deps.sh, message above)"
  exit 1
}
echo "== building into $ORV_BUILD_DIR"
# Only what the demo runs: the application, the three reference drivers and
# the image tool (the host tests are scripts/test.sh's business).
if ! "$root/scripts/build.sh" OrvUpdate OrvHexImage OrvFlashSim OrvPathSim orvhex; then
  echo "demo: FAILED: the build failed"
  exit 1
fi
echo "== demo"
exec python3 "$root/e2e/demo.py"
