#!/usr/bin/env python3
"""End-to-end suite: OrvUpdate.efi with the reference component drivers in
the UEFI Shell of OVMF under QEMU.

Each boot gets a fresh FAT disk image holding the application, the settings
file, the driver files, zone images made with orvhex, the flash simulator's
configuration and the fault files the cases switch between. Every run's
console lines and %lasterror% are checked exactly; the simulated flash is
copied into snap\\<case>\\ right after a run and read back from the disk image
afterwards.

Environment: ORV_BUILD_DIR (build directory, required), E2E_WORKDIR (scratch,
default <build>/e2e), E2E_BOOT_TIMEOUT (seconds per boot, default 150),
E2E_STALL_TIMEOUT (seconds without console progress before a boot is
stopped, default 20), E2E_ONLY (comma-separated names of boots, cases or power-cut
sequences to run, default all; E2E_BOOTS is an older name for it), E2E_JOBS (boots side by
side, default 2 or the number of cores if lower), ORV_QEMU_KVM=1 (try KVM,
see orvqemu.py).

The cases live in e2e/cases/, one module per area (see its __init__.py for
how a module adds boots and cases); fixture.py holds what they share.
"""

import concurrent.futures
import os
import sys
import time

# Keep the source tree free of bytecode caches.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cases  # noqa: E402
import orvqemu  # noqa: E402
from fixture import FAULTS, Fixture  # noqa: E402
from harness import Suite  # noqa: E402


def select(boots, names, fx, sequences=()):
    """The jobs to run for E2E_ONLY/E2E_BOOTS names. A boot job is (name,
    with_settings, cases, report), where report is None (every case) or the
    set of selected case ids: a case runs after the earlier cases of its
    boot, which set up the state it builds on. A sequence job (several boots
    on one disk, such as a power cut and its recovery) is (name, None,
    function, None). Raises ValueError for an unknown name."""
    plan = []
    known = set()
    for name, run_sequence in sequences:
        known.add(name)
        if not names or name in names:
            plan.append((name, None, run_sequence, None))
    for name, with_settings, make_cases in boots:
        boot_cases = make_cases(fx)
        known.add(name)
        known.update(c.id for c in boot_cases)
        if not names or name in names:
            plan.append((name, with_settings, boot_cases, None))
            continue
        picked = [i for i, c in enumerate(boot_cases) if c.id in names]
        if picked:
            plan.append((name, with_settings, boot_cases[:picked[-1] + 1],
                         {boot_cases[i].id for i in picked}))
    unknown = sorted(set(names) - known)
    if unknown:
        raise ValueError("no boot or case named %s" % ", ".join(unknown))
    return plan


def jobs_wanted():
    """How many boots run side by side: E2E_JOBS, or one per core, at most 2
    (two TCG guests keep two cores busy)."""
    value = os.environ.get("E2E_JOBS")
    if value:
        if not value.isdigit() or int(value) < 1:
            raise ValueError("E2E_JOBS=%s is not a positive number" % value)
        return int(value)
    return max(1, min(2, os.cpu_count() or 1))




def main():
    build = os.environ.get("ORV_BUILD_DIR")
    if not build:
        print("e2e: ORV_BUILD_DIR is not set (the build directory holding OrvUpdate.efi)")
        return 2
    build = os.path.abspath(build)
    workdir = os.path.abspath(os.environ.get("E2E_WORKDIR", os.path.join(build, "e2e")))
    timeout = int(os.environ.get("E2E_BOOT_TIMEOUT", "150"))
    names = [n.strip() for n in (os.environ.get("E2E_ONLY", "") + "," +
                                 os.environ.get("E2E_BOOTS", "")).split(",") if n.strip()]
    verbose = "-v" in sys.argv[1:]
    os.makedirs(workdir, exist_ok=True)

    missing = orvqemu.missing_tools()
    if missing:
        print("e2e: missing: %s (run scripts/install-deps.sh)" % ", ".join(missing))
        print("e2e: 0 passed, 1 failed")
        return 1
    try:
        registry = cases.load()
    except ValueError as exc:
        print("e2e: %s" % exc)
        return 2
    fx = Fixture(build, workdir, dict(FAULTS, **registry.faults), registry.boot_files)
    absent = fx.missing()
    if absent:
        print("e2e: build output missing: %s (run scripts/build.sh)" % ", ".join(absent))
        print("e2e: 0 passed, 1 failed")
        return 1

    suite = Suite(workdir, timeout, verbose)
    start = time.monotonic()
    try:
        jobs = jobs_wanted()
        fx.prepare()
        plan = select(registry.boots, names, fx, registry.sequences)
    except ValueError as exc:
        print("e2e: %s" % exc)
        return 2
    except orvqemu.E2EError as exc:
        print("e2e: %s" % exc)
        print("e2e: 0 passed, 1 failed")
        return 1
    try:
        # Chosen once, before the boots start side by side.
        orvqemu.accelerator(workdir, log=lambda line: print("e2e: " + line))
    except orvqemu.E2EError as exc:
        print("e2e: %s" % exc)
        print("e2e: 0 passed, 1 failed")
        return 1
    sequences = sum(1 for entry in plan if entry[1] is None)
    print("e2e: %d boots and %d sequences of several boots (power cuts, line station, "
          "board disks), %d at a time"
          % (len(plan) - sequences, sequences, jobs), flush=True)

    def run(entry):
        name, with_settings, work, report = entry
        try:
            if with_settings is None:
                work(suite, fx)     # a sequence of boots on one disk
                return
            volume = fx.volume(name, settings=with_settings)
            suite.run_boot(name, volume, work, report=report)
        except orvqemu.E2EError as exc:
            with suite._lock:
                suite.boot_failures.append("boot %s: %s" % (name, exc))
                if with_settings is None:
                    suite.failed += 1
                else:
                    suite.failed += len(work) if report is None else len(report)

    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        list(pool.map(run, plan))
    wall = time.monotonic() - start
    for failure in suite.boot_failures:
        print("e2e: " + failure)
    print("e2e: %d runs in QEMU, %.0f s wall time (%.0f s of boots)"
          % (suite.runs, wall, suite.boot_seconds))
    failed = suite.failed
    print("e2e: %d passed, %d failed" % (suite.passed, failed))
    return 0 if failed == 0 and not suite.boot_failures else 1


if __name__ == "__main__":
    sys.exit(main())
