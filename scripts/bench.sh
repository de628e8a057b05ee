#!/usr/bin/env bash
# Benchmarks (not tests): builds what they need, runs them and prints one
# table of our figures against their references (objcopy and srec_cat for
# HEX decoding, memcmp, memchr, openssl for signature checks, the modelled
# flash time) with the ratios.
# See benchmarks/bench.py for the rows and the environment it reads
# (BENCH_ROWS=hex,compare,settings,wholerun,qemu,verify selects rows).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export ORV_BUILD_DIR=${ORV_BUILD_DIR:-$root/build}
log=$ORV_BUILD_DIR/bench-build.log
mkdir -p "$ORV_BUILD_DIR"
"$root/scripts/build.sh" orvhex orv_compare_bench orv_settings_bench orv_wholerun_bench orv_verify_bench \
  OrvUpdate OrvHexImage OrvFlashSim OrvPathSim >"$log" 2>&1 || {
  tail -n 30 "$log"
  echo "bench: FAILED: building the benchmarks (whole output in $log)"
  exit 1
}
exec python3 "$root/benchmarks/bench.py" "$@"
