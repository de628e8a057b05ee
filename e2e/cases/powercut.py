"""Power cuts: each sequence boots twice on one disk image, cut in the
middle of a flash operation and then recovered.
"""

import os
import threading

import images
import orvqemu
from harness import BANNER, EFI_DEVICE_ERROR, EFI_SUCCESS, Case
from fixture import (COMP, CONFIG_ACTIVE, EFI_SECURITY_VIOLATION, OCM_BANK, CUST_BANK, PAGE_SIZE,
                     SECTOR_SIZE, SIM,
                     TARGET, V1, V2, V4, V4_COUNTER, bank_files, describe_bank,
                     downgrade_lines, flash, flashsim_ini, floors, ic_lines)

# ------------------------------------------------------------------ power cuts
#
# Each sequence boots twice on one disk image. The cut boot runs
# "OrvUpdate.efi 0 1 -cb" with a PowerCut rule: the flash simulator writes the
# banks as they stand and stops the machine in the middle of the run, naming
# the operation it cut. The check boot runs the same command again (no
# faults) as the recovery. Both ICs start on section 0 with V1; bank 1 holds
# an older image that fills most of the bank and the customer banks hold
# image B, so a half-done erase or write shows in the bank files. How much of
# the cut operation is done is the simulator's own arithmetic (cut_bytes).

PC_OLD_BIG = 0x00010001
PC_FILES_LOCK = threading.Lock()
PC_COMMAND = "OrvUpdate.efi 0 1 -cb"

PC_FLASHSIM_INI = flashsim_ini("Ocm1Seed = OrvSim\\ocm_big.hex\n"
                               "Customer0Seed = OrvSim\\cust_b.hex\n"
                               "Customer1Seed = OrvSim\\cust_b.hex\n")


def pc_cut(fx, rule, old, new, unit):
    """The bank old after an erase or write of new in unit-sized steps, cut
    by the PowerCut rule: the part of new the simulator leaves done, then
    old's bytes."""
    done = fx.cut_bytes(rule, len(new), unit)
    return new[:done] + old[done:]


def pc_active(volume, ic):
    text = volume.get("%s/Ic%dActive.txt" % (SIM, ic))
    return CONFIG_ACTIVE if text is None else text.decode(errors="replace").strip()[:1]


def pc_after_cut(fx, volume, expected, new):
    """Failure texts for the flash right after the cut: every IC runs a valid
    image equal to the one it ran before or the new one, and the banks named
    in expected ({(ic, kind): bytes, (ic, "active"): "0", (ic, "floor"): 2})
    hold exactly that."""
    problems = []
    known = (images.bank(fx.ocm_v1, OCM_BANK), images.bank(new, OCM_BANK))
    for ic in (0, 1):
        active = pc_active(volume, ic)
        if active not in ("0", "1"):
            problems.append("after the cut: IC %d has no active section (%r)" % (ic, active))
            continue
        bank = volume.get("%s/Ic%dOcm%s.bin" % (SIM, ic, active))
        if bank is None:
            problems.append("after the cut: IC %d active bank file missing" % ic)
        elif bank not in known or not images.is_valid(bank):
            problems.append("after the cut: IC %d runs section %s, which holds neither a valid "
                            "old nor a valid new image (%s)"
                            % (ic, active, describe_bank(bank, known[1])))
    for (ic, kind), want in sorted(expected.items()):
        if kind == "floor":
            got = images.floor_of(volume.get("%s/Ic%dFloor.bin" % (SIM, ic)))
            if got != want:
                problems.append("after the cut: IC %d floor %d, expected %d" % (ic, got, want))
            continue
        if kind == "active":
            got = pc_active(volume, ic)
            if got != want:
                problems.append("after the cut: IC %d active section %s, expected %s"
                                % (ic, got, want))
            continue
        got = volume.get("%s/Ic%d%s.bin" % (SIM, ic, kind))
        if got is None:
            problems.append("after the cut: IC %d bank file %s missing" % (ic, kind))
        elif got != want:
            problems.append("after the cut: IC %d %s: %s" % (ic, kind, describe_bank(got, want)))
    return problems


def pc_volume(fx, name):
    vol = fx.volume(name)
    big = images.image(PC_OLD_BIG, images.payload(40, OCM_BANK - images.HEADER_SIZE - 600))
    with PC_FILES_LOCK:     # sequences run side by side; the file is made once
        if "ocm_big.hex" not in fx.hex:
            fx.pc_big = fx.make_hex("ocm_big.hex", big)
    vol.put_file(fx.hex["ocm_big.hex"], SIM + "/ocm_big.hex")
    vol.put_file(fx.hex["cust_b.hex"], SIM + "/cust_b.hex")
    vol.put_text(PC_FLASHSIM_INI, SIM + "/FlashSim.ini", fx.workdir)
    return vol


def power_cut_sequence(point, after, part, operation, expected_after_cut, recovery_lines,
                       command=PC_COMMAND, new="ocm_v2", recovery_checks=None, more_cases=None):
    """One cut point: the cut boot running command, cut at the after-th flash
    operation, which the simulator must report as operation ("EraseBank IC
    0"), leaving part of it done; the flash checked on the disk image; then
    the recovery boot, all reported as case powercut_<point>.
    expected_after_cut(fx, cut) gives the banks, cut(old, new, unit) being
    the bank after the cut operation. new names the image the command
    installs; recovery_checks(fx) replaces the default checks of the
    recovery run, and more_cases(fx) gives runs that follow it in the
    recovery boot."""
    case_id = "powercut_" + point
    rule = "PowerCut After=%d Part=%s" % (after, part)
    report = "FlashSim: power cut at flash operation %d, %s, part %s" % (after, operation, part)

    def run(suite, fx):
        volume = pc_volume(fx, case_id)
        volume.put_text(rule + "\n", SIM + "/pc.ini", fx.workdir)
        lines = ["cp -q %s\\pc.ini %s\\Faults.ini" % (SIM, SIM)] \
            + orvqemu.shell_run(case_id + "_cut", command)
        result = orvqemu.boot(volume, lines, suite.workdir, timeout=suite.timeout,
                              log_name="console-%s_cut.log" % case_id)
        with suite._lock:
            suite.boot_seconds += result.seconds
        print("-- boot %s_cut: %.1f s (console: %s)"
              % (case_id, result.seconds,
                 os.path.join(suite.workdir, "console-%s_cut.log" % case_id)))
        cut_problems = []
        if result.timed_out:
            cut_problems.append("cut boot: QEMU did not stop within %d s" % suite.timeout)
        elif result.finished:
            cut_problems.append("cut boot: the script ran to its end, the power was never cut")
        if report not in result.text:
            cut_problems.append("cut boot: no line \"%s\" from the flash simulator" % report)
        if not cut_problems:
            expected = expected_after_cut(
                fx, lambda old, new, unit: pc_cut(fx, rule, old, new, unit))
            cut_problems += pc_after_cut(fx, volume, expected, getattr(fx, new))

        def cut_check(ctx):
            return cut_problems

        checks = recovery_checks(fx) if recovery_checks else [
            flash(ic, active=1, ocm0=fx.ocm_v1, ocm1=fx.ocm_v2, cust0=fx.cust_a, cust1=fx.cust_a)
            for ic in (0, 1)]
        case = Case(case_id, command, [BANNER, TARGET] + recovery_lines, EFI_SUCCESS,
                    setup=["rm -q %s\\Faults.ini" % SIM], snapshot=bank_files(),
                    checks=[cut_check] + checks)
        suite.run_boot(case_id, volume, [case] + (more_cases(fx) if more_cases else []))
    return (case_id, run)


def pc_both_updated():
    return (ic_lines(0, 0, V1, target=1, new_ver=V2, backup=True)
            + ic_lines(1, 0, V1, target=1, new_ver=V2, backup=True))


def pc_ic0_current():
    return (ic_lines(0, 1, V2, image_ver=V2, backup=True)
            + ic_lines(1, 0, V1, target=1, new_ver=V2, backup=True))


# The flash operations of the run: IC 0's OCM erase (1), write (2), switch
# (3), customer bank 0 erase (4), write (5), bank 1 erase (6), write (7), then
# the same for IC 1; the simulator's report line confirms each cut point.
SEQUENCES = [
    # Half of IC 0's inactive OCM bank erased: it still runs section 0.
    power_cut_sequence(
        "ocm_erase", 1, "half", "EraseBank IC 0",
        lambda fx, cut: {(0, "active"): "0",
                         (0, "Ocm0"): images.bank(fx.ocm_v1, OCM_BANK),
                         (0, "Ocm1"): cut(images.bank(fx.pc_big, OCM_BANK),
                                          images.erased(OCM_BANK), SECTOR_SIZE)},
        pc_both_updated()),
    # Half of the new image's pages written into the erased bank.
    power_cut_sequence(
        "ocm_write", 2, "half", "WriteBankData IC 0",
        lambda fx, cut: {(0, "active"): "0",
                         (0, "Ocm1"): cut(images.erased(OCM_BANK), fx.ocm_v2, PAGE_SIZE)},
        pc_both_updated()),
    # The switch is done and kept, the pass never closed (no ICPostOperation):
    # the bank just written must have reached the flash.
    power_cut_sequence(
        "switch", 3, "all", "SetActiveBank IC 0",
        lambda fx, cut: {(0, "active"): "1",
                         (0, "Ocm1"): images.bank(fx.ocm_v2, OCM_BANK),
                         (0, "Cust0"): images.bank(fx.cust_b, CUST_BANK)},
        pc_ic0_current()),
    # Half of customer bank 0 written after IC 0 switched to the new image.
    power_cut_sequence(
        "cust0_write", 5, "half", "WriteBankData IC 0",
        lambda fx, cut: {(0, "active"): "1",
                         (0, "Ocm1"): images.bank(fx.ocm_v2, OCM_BANK),
                         (0, "Cust0"): cut(images.erased(CUST_BANK), fx.cust_a, PAGE_SIZE)},
        pc_ic0_current()),
    # With V4 (security counter 2): IC 0's floor is written, then the power
    # goes halfway through the write of IC 1's floor, right after IC 1's
    # switch. IC 0's floor survives the reboot, IC 1's stays as it was (below
    # the image it runs) until the next IcInit raises it; afterwards a forced
    # V3 (validly signed, counter 0) is refused by both chips.
    power_cut_sequence(
        "floor", 10, "half", "WriteFloor IC 1",
        lambda fx, cut: {(0, "active"): "1", (0, "Ocm1"): images.bank(fx.ocm_v4, OCM_BANK),
                         (0, "floor"): V4_COUNTER, (1, "active"): "1",
                         (1, "Ocm1"): images.bank(fx.ocm_v4, OCM_BANK), (1, "floor"): 0},
        ["Override OCM zone file, using %s\\ocm_v4.hex" % COMP]
        + ic_lines(0, 1, V4, image_ver=V4) + ic_lines(1, 1, V4, image_ver=V4),
        command="OrvUpdate.efi 0 1 -o %s\\ocm_v4.hex" % COMP, new="ocm_v4",
        recovery_checks=lambda fx: [flash(ic, active=1, ocm1=fx.ocm_v4, cust0=fx.cust_a)
                                    for ic in (0, 1)] + [floors(ic0=V4_COUNTER, ic1=V4_COUNTER)],
        more_cases=lambda fx: [Case(
            "powercut_floor_downgrade", "OrvUpdate.efi 0 1 -f -o %s\\ocm_v3.hex" % COMP,
            [BANNER, TARGET, "Override OCM zone file, using %s\\ocm_v3.hex" % COMP]
            + downgrade_lines(0, 1, V4) + downgrade_lines(1, 1, V4), EFI_SECURITY_VIOLATION,
            snapshot=bank_files(),
            checks=[flash(ic, active=1, ocm1=fx.ocm_v4) for ic in (0, 1)]
            + [floors(ic0=V4_COUNTER, ic1=V4_COUNTER)])]),
]
