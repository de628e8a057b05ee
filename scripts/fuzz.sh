#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz, clang with address and undefined
# behaviour sanitizers) into <build>/fuzz and runs each for SECONDS (default
# 60), one after the other. First every saved regression input of a target
# is run once. Prints one line per target and a closing line:
#   fuzz: <T> targets, <E> executions, <C> crashes
# and exits non-zero when a target crashed. Crash inputs are kept in
# <build>/fuzz/artifacts/<target>/; add them to tests/fuzz/regressions/<target>/.
#
# ORV_FUZZ_RUNS=N runs each target for N executions instead (SECONDS is then
# only a cap); ORV_FUZZ_TARGETS="settings hex_image" picks targets.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORV_BUILD_DIR:-$root/build}
seconds=${1:-60}
targets=${ORV_FUZZ_TARGETS:-"settings command_line hex_image sim_config fault_rules signature pem capsule"}
out=$build/fuzz

mkdir -p "$out"
CC=clang CXX=clang++ cmake -S "$root/tests/fuzz" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$out/configure.log" 2>&1 || {
  tail -n 30 "$out/configure.log"
  echo "fuzz: FAILED: configuring the fuzz targets (whole output in $out/configure.log)"
  exit 1
}
for t in $targets; do
  cmake --build "$out" -j"$(nproc)" --target "fuzz_$t" >"$out/build-$t.log" 2>&1 || {
    tail -n 30 "$out/build-$t.log"
    echo "fuzz: FAILED: building fuzz_$t (whole output in $out/build-$t.log)"
    exit 1
  }
done

total_targets=0 total_execs=0 total_crashes=0
for t in $targets; do
  bin=$out/fuzz_$t
  work=$out/work/$t
  artifacts=$out/artifacts/$t
  mkdir -p "$work" "$artifacts"
  crashes=0

  regressions=("$root/tests/fuzz/regressions/$t"/*)
  if [ -e "${regressions[0]}" ]; then
    if ! "$bin" "${regressions[@]}" >"$out/$t.regressions.log" 2>&1; then
      echo "fuzz $t: a regression input fails, see $out/$t.regressions.log"
      crashes=$((crashes + 1))
    fi
  fi

  limit=(-max_total_time="$seconds")
  [ -n "${ORV_FUZZ_RUNS:-}" ] && limit+=(-runs="$ORV_FUZZ_RUNS")
  start=$(date +%s)
  status=0
  "$bin" "${limit[@]}" -max_len=8192 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$work" "$root/tests/fuzz/corpus/$t" >"$out/$t.log" 2>&1 || status=$?
  elapsed=$(( $(date +%s) - start ))
  # A target that crashes on its seed corpus prints no coverage: the counts
  # are then empty, never the end of the script.
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$t.log" | tail -1 || true)
  cov=$(grep -o 'cov: [0-9]*' "$out/$t.log" | tail -1 | cut -d' ' -f2 || true)
  ft=$(grep -o 'ft: [0-9]*' "$out/$t.log" | tail -1 | cut -d' ' -f2 || true)
  execs=${execs:-0}
  if [ "$status" -ne 0 ]; then
    crashes=$((crashes + 1))
    echo "fuzz $t: crash (exit $status), input in $artifacts/, log $out/$t.log"
  fi
  echo "fuzz $t: $execs executions in ${elapsed}s, coverage ${cov:-0} edges, ${ft:-0} features, $crashes crashes"
  total_targets=$((total_targets + 1))
  total_execs=$((total_execs + execs))
  total_crashes=$((total_crashes + crashes))
done
echo "fuzz: $total_targets targets, $total_execs executions, $total_crashes crashes"
[ "$total_crashes" -eq 0 ]
