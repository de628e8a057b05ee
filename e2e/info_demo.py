#!/usr/bin/env python3
"""OrvInfo.efi on the demo board: what is on each IC and what an update
would do, a verify, a forced plan with another OCM image, then the update
with the same options, and a verify of its result.

Builds the demo volume of demo.py (two simulated ICs running version 1.1.2
from section 0, ocm.hex 1.2.3 and customer.hex in the settings) plus new.hex
at the volume root, an image of the running version 1.1.2 (a forced
reinstall). Boots QEMU once, prints the transcript and exits 0 only when the
update did what the plan said: each IC switched to bank 1, which holds
new.hex, and its customer bank 0 holds customer.hex.

Environment: ORV_BUILD_DIR (build directory), DEMO_DIR (output, default
<build>/info-demo), DEMO_TIMEOUT (seconds for the QEMU boot, default 180).
"""

import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import demo  # noqa: E402
import orvqemu  # noqa: E402

RUNS = [
    ("list", "OrvInfo.efi"),
    ("verify0", "OrvInfo.efi 0 -v"),
    ("plan", "OrvInfo.efi -f -o new.hex"),
    ("update_noic", "OrvUpdate.efi -f -o new.hex"),
    ("update", "OrvUpdate.efi 0 1 -f -o new.hex"),
    ("after", "OrvInfo.efi -v -o new.hex"),
]


def main():
    build, out, timeout = demo.environment("info-demo", 180)
    tool, apps, drivers = demo.build_outputs(build, ["OrvUpdate.efi", "OrvInfo.efi"])
    files = demo.make_zone_hex(tool, out)
    old_image = demo.zone_image("ocm_old")
    customer_image = demo.zone_image("customer")

    volume = demo.demo_volume(out, apps, drivers, files)
    volume.put_file(files["ocm_old"], "new.hex")
    old_bank = os.path.join(out, "old_bank.bin")
    demo.orvhex(tool, "bank", "--size", str(demo.OCM_BANK), files["ocm_old"], old_bank)
    for ic in demo.ICS:
        volume.put_file(old_bank, "OrvSim/Ic%dOcm0.bin" % ic)
        volume.put_text("0\n", "OrvSim/Ic%dActive.txt" % ic, out)

    print("info-demo: booting the UEFI Shell under QEMU (timeout %d s) ..." % timeout)
    result = demo.run_in_shell(volume, out, timeout, RUNS)
    runs = result.runs()

    demo.print_transcript(result, RUNS)
    if result.timed_out or not result.finished:
        demo.fail("the boot did not run to its end (console: %s)"
                  % os.path.join(out, "console.log"))

    problems = []
    plan = [l for l in runs["plan"].lines if l.startswith("ic=")]
    if len(plan) != len(demo.ICS) or not all(" ocm=forced:bank1 " in l for l in plan):
        problems.append("the plan does not say: forced into bank 1 for each IC")
    for ic in demo.ICS:
        active = volume.get("OrvSim/Ic%dActive.txt" % ic)
        bank = volume.get("OrvSim/Ic%dOcm1.bin" % ic) or b""
        cust = volume.get("OrvSim/Ic%dCust0.bin" % ic) or b""
        if active is None or active.decode(errors="replace").strip() != "1":
            problems.append("IC %d does not run section 1" % ic)
        if bank[:len(old_image)] != old_image:
            problems.append("IC %d bank 1 does not hold new.hex" % ic)
        if cust[:len(customer_image)] != customer_image:
            problems.append("IC %d customer bank 0 does not hold customer.hex" % ic)
    if runs["after"].rc != "0x0":
        problems.append("the verify after the update returned %s" % runs["after"].rc)
    for p in problems:
        print("info-demo: " + p)
    if problems:
        demo.fail("the update did not do what the plan said")
    print("info-demo: OK: the update did what the plan said, and the verify after it matches.")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except orvqemu.E2EError as exc:
        demo.fail(str(exc))
