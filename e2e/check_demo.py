#!/usr/bin/env python3
"""OrvCheck.efi on the demo board: the read-only checks, then the checks that
write and switch (-w -s), in the UEFI Shell under QEMU.

The volume is the demo volume of demo.py as an update leaves it: both
simulated ICs run the new image from section 1 (state files "1" written by a
script, the security floor at the new image's counter), bank 0 holds the old
image, customer bank 0 the customer image.
Every bank and state file is written here on the host before the boot and
compared byte for byte with the disk image after it. Prints the transcript
and exits 0 only when every check passed and no file changed.

Environment: ORV_BUILD_DIR (build directory), DEMO_DIR (output, default
<build>/check-demo), DEMO_TIMEOUT (seconds for the QEMU boot, default 300).
"""

import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import demo  # noqa: E402
import harness  # noqa: E402
import images  # noqa: E402
import orvqemu  # noqa: E402

RUNS = [
    ("check", "OrvCheck.efi"),
    ("check_write", "OrvCheck.efi -w -s"),
]


def board_files():
    """{volume path: bytes} of the simulated flash: both ICs updated."""
    old = demo.zone_image("ocm_old")
    new = demo.zone_image("ocm")
    customer = demo.zone_image("customer")
    files = {}
    for ic in demo.ICS:
        files["OrvSim/Ic%dOcm0.bin" % ic] = images.bank(old, demo.OCM_BANK)
        files["OrvSim/Ic%dOcm1.bin" % ic] = images.bank(new, demo.OCM_BANK)
        files["OrvSim/Ic%dCust0.bin" % ic] = images.bank(customer, demo.CUST_BANK)
        files["OrvSim/Ic%dCust1.bin" % ic] = images.erased(demo.CUST_BANK)
        files["OrvSim/Ic%dActive.txt" % ic] = b"1\n"
        # The chip raised its floor to the image it runs.
        files["OrvSim/Ic%dFloor.bin" % ic] = images.floor_store(demo.NEW_COUNTER)
    return files


def main():
    build, out, timeout = demo.environment("check-demo", 300)
    tool, apps, drivers = demo.build_outputs(build, ["OrvCheck.efi"])
    volume = demo.demo_volume(out, apps, drivers, demo.make_zone_hex(tool, out))
    before = board_files()
    for path, data in sorted(before.items()):
        volume.put_bytes(data, path, out)

    print("check-demo: booting the UEFI Shell under QEMU (timeout %d s) ..." % timeout)
    result = demo.run_in_shell(volume, out, timeout, RUNS)
    runs = result.runs()

    demo.print_transcript(result, RUNS)
    if result.timed_out or not result.finished:
        demo.fail("the boot did not run to its end (console: %s)"
                  % os.path.join(out, "console.log"))

    problems = []
    for run_id, command in RUNS:
        run = runs[run_id]
        if run.rc != "0x0" or any(not l.startswith("PASS ")
                                   for l in harness.without_driver_warning(run.lines)[2:-1]):
            problems.append("%s: not every check passed (status %s)" % (command, run.rc))
    print("Bank and state files, written before the boot, read back after it:")
    for path, data in sorted(before.items()):
        after = volume.get(path)
        same = after == data
        print("  %-22s %7d bytes  %s" % (path, len(data), "same" if same else "CHANGED"))
        if not same:
            problems.append("%s changed" % path)
    for p in problems:
        print("check-demo: " + p)
    if problems:
        demo.fail("the checks did not all pass, or the flash changed")
    print("check-demo: OK: every check passed, and every bank and state file is byte for byte "
          "as before.")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except orvqemu.E2EError as exc:
        demo.fail(str(exc))
