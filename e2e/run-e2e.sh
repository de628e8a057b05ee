#!/usr/bin/env bash
# End-to-end suite: OrvUpdate.efi and the reference component drivers in the
# UEFI Shell of OVMF under QEMU. Needs a build (scripts/build.sh); reads
# ORV_BUILD_DIR (default build/). Prints "e2e: N passed, N failed" last and
# exits non-zero on any failure, or when QEMU does not boot or finish in time.
#   E2E_BOOT_TIMEOUT  seconds allowed per QEMU boot (default 150)
#   E2E_STALL_TIMEOUT seconds without console progress before a boot is
#                     stopped (default 20)
#   E2E_ONLY          comma-separated boots, cases or power-cut sequences to
#                     run, e.g. E2E_ONLY=matrix, E2E_ONLY=fail_EraseBank or
#                     E2E_ONLY=powercut_switch or E2E_ONLY=boards (default all)
#   E2E_JOBS          boots run side by side (default 2, or 1 on one core)
#   ORV_QEMU_KVM=1    use KVM if a probe boot shows it works (default TCG)
#   E2E_WORKDIR       scratch directory (default $ORV_BUILD_DIR/e2e)
#   -v                show the whole run output of a failing case
# The cases are in e2e/cases/, one module per area (its __init__.py says how
# a new module adds boots and cases).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export ORV_BUILD_DIR=${ORV_BUILD_DIR:-$root/build}
if ! command -v python3 >/dev/null; then
  echo "e2e: python3 is missing (run scripts/install-deps.sh)"
  echo "e2e: 0 passed, 1 failed"
  exit 1
fi
exec python3 "$root/e2e/e2e_suite.py" "$@"
