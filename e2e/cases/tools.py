"""OrvInfo.efi and OrvCheck.efi around one update: plans, verification,
bad arguments, and the flash component's contract checked read-only, with
writes, and on a component that breaks it.
"""

from harness import (BANNER, EFI_INVALID_PARAMETER, EFI_NOT_FOUND, EFI_SUCCESS, Case)
from fixture import (COMP, EFI_CRC_ERROR, EFI_PROTOCOL_ERROR, ERASED, INFO_BANNER, SIM, TARGET,
                     V1, V2, bank_files, flash, ic_lines, info_line, unchanged_since)

def info_cases(fx):
    """Fresh flash: both ICs run section 0 with V1, the settings name ocm.hex
    (V2) and cust.hex (customer image A). OrvInfo.efi runs before and after
    one update; every run of it must leave the bank and state files as they
    were."""
    snap = bank_files()
    v1 = "%s\\ocm_v1.hex" % SIM
    head = [INFO_BANNER, TARGET, "ics=2"]
    plan0 = info_line(0, 0, V1, 0, "%X" % V2, "newer:bank1")
    plan1 = info_line(1, 0, V1, 0, "%X" % V2, "newer:bank1")
    fresh = [flash(ic, active=0, ocm0=fx.ocm_v1, ocm1=ERASED, cust0=ERASED, cust1=ERASED)
             for ic in (0, 1)]

    def same(case_id, command, lines, status, base="info_all"):
        return Case(case_id, command, lines, status, snapshot=snap,
                    checks=[unchanged_since(base)])

    return [
        # First run of the boot: the drivers are loaded and the flash
        # simulator creates its bank files; nothing is programmed.
        Case("info_all", "OrvInfo.efi", head + [plan0, plan1], EFI_SUCCESS,
             snapshot=snap, checks=fresh),
        same("info_verify", "OrvInfo.efi 0 -v",
             head + [info_line(0, 0, V1, 0, "%X" % V2, "newer:bank1",
                            verify=("diff@8", "diff@0", "-"))], EFI_CRC_ERROR),
        same("info_verify_v1", "OrvInfo.efi 0 -v -o " + v1,
             [INFO_BANNER, TARGET, "Override OCM zone file, using " + v1, "ics=2",
              info_line(0, 0, V1, 0, "%X" % V1, "current", verify=("match", "diff@0", "-"))],
             EFI_CRC_ERROR),
        same("info_force", "OrvInfo.efi 1 -f -cb -o " + v1,
             [INFO_BANNER, TARGET, "Override OCM zone file, using " + v1, "ics=2",
              info_line(1, 0, V1, 0, "%X" % V1, "forced:bank1", customer="bank0+1")],
             EFI_SUCCESS),
        same("info_missing", "OrvInfo.efi 0 5", head + [plan0, "IC 5 not found"], EFI_NOT_FOUND),
        same("info_addr", "OrvInfo.efi -d 21 0", head + [plan1], EFI_SUCCESS),
        same("info_addrnone", "OrvInfo.efi -d 5a",
             head + ["Addr 5A IC not found", "Available : 20 21 "], EFI_NOT_FOUND),
        same("info_badindex", "OrvInfo.efi 12",
             [INFO_BANNER, "Invalid chip index 12: expected one digit 0-9"],
             EFI_INVALID_PARAMETER),
        same("info_read", "OrvInfo.efi 1 -r 0 10",
             [INFO_BANNER, "OrvInfo.efi has no read mode (-r)"], EFI_INVALID_PARAMETER),
        # The update with the arguments of the first plan does what it said.
        Case("info_update01", "OrvUpdate.efi 0 1",
             [BANNER, TARGET]
             + ic_lines(0, 0, V1, target=1, new_ver=V2)
             + ic_lines(1, 0, V1, target=1, new_ver=V2),
             EFI_SUCCESS, snapshot=snap,
             checks=[flash(ic, active=1, ocm0=fx.ocm_v1, ocm1=fx.ocm_v2, cust0=fx.cust_a,
                           cust1=ERASED) for ic in (0, 1)]),
        same("info_after", "OrvInfo.efi -v",
             head + [info_line(ic, 1, V1, V2, "%X" % V2, "current",
                               verify=("match", "match", "-")) for ic in (0, 1)],
             EFI_SUCCESS, base="info_update01"),
    ] + check_cases()


CHECK_BANNER = "OrvCheck tool version 00.01.0002"
CHECK_READ_IDS = ["section", "version", "pass", "read", "check-active", "bad-args"]
CHECK_WRITE_IDS = ["lock", "erase", "check-erased", "write", "isolation", "check-good",
                   "switch", "check-corrupt", "active-write-refused", "restore"]


def check_lines(ids, ics=(0, 1), failed=None):
    """OrvCheck.efi's lines for the ICs: every check passes but those in
    failed ({id: what was seen}, for IC 0)."""
    out = []
    for ic in ics:
        for check in ids:
            if ic == 0 and failed and check in failed:
                out.append("FAIL %s ic=%X: %s" % (check, ic, failed[check]))
            else:
                out.append("PASS %s ic=%X" % (check, ic))
    return out


def security_lines(ic, zone_bound):
    """The checks of what an IC runs (its IC holds the demo key): the volume
    has no test images, so signed-only and floor are skipped with the
    parser's reason; zone-bound writes the customer image into the OCM bank
    and ends with zone_bound (its lines)."""
    def missing(check, name):
        path = "%s\\%s" % (COMP, name)
        return ["HexImage: cannot open %s, E" % path,
                "SKIP %s ic=%X: %s: LoadImageFile error E" % (check, ic, path)]
    return missing("signed-only", "CheckUnsigned.hex") + zone_bound \
        + missing("floor", "CheckBelowFloor.hex")


def write_lines(ic, ids, zone_bound, failed=None):
    """The lines of the checks that write on one IC, the checks of what it
    runs after check-corrupt."""
    at = ids.index("check-corrupt") + 1
    return (check_lines(ids[:at], ics=(ic,), failed=failed) + security_lines(ic, zone_bound)
            + check_lines(ids[at:], ics=(ic,), failed=failed))


def check_cases():
    """OrvCheck.efi after the update of the info boot (both ICs run section 1):
    read-only, then with -w and -s, then on a flash simulator that ignores the
    lock, finds every OCM bank good and lets the running bank be written. The
    bank and state files must be byte for byte as after the read-only run."""
    snap = bank_files()
    head = [CHECK_BANNER, TARGET, "PASS count", "PASS address"]
    no_write = [c for c in CHECK_WRITE_IDS if c != "switch"]
    misbehaving = {
        "lock": "EraseBank of bank 0 succeeded after lockFlash",
        "check-erased": "FlashPostOperation and HardwareCheckBank of bank 0 holding no image "
                        "succeeded with check 1",
        "check-corrupt": "FlashPostOperation and HardwareCheckBank of bank 0 holding a corrupted "
                         "image succeeded with check 1",
        "active-write-refused": "WriteBankData of the running bank 1 succeeded",
    }
    return [
        Case("check_read", "OrvCheck.efi",
             head + check_lines(CHECK_READ_IDS) + ["14 passed, 0 failed, 0 skipped"],
             EFI_SUCCESS, snapshot=snap, checks=[unchanged_since("info_update01")]),
        Case("check_write", "OrvCheck.efi -w -s",
             head + sum([check_lines(CHECK_READ_IDS, ics=(ic,))
                         + write_lines(ic, CHECK_WRITE_IDS, [
                             "FlashSim: IC %d OCM bank 0 refused: signed for the customer zone" % ic,
                             "PASS zone-bound ic=%X" % ic]) for ic in (0, 1)], [])
             + ["36 passed, 0 failed, 4 skipped"],
             EFI_SUCCESS, snapshot=snap, checks=[unchanged_since("check_read")]),
        Case("check_misbehave", "OrvCheck.efi 0 -w",
             head + check_lines(CHECK_READ_IDS, ics=(0,))
             + write_lines(0, no_write, ["FAIL zone-bound ic=0: FlashPostOperation and "
                                         "HardwareCheckBank of bank 0 holding the customer image "
                                         "succeeded with check 1"], failed=misbehaving)
             + ["13 passed, 5 failed, 2 skipped"],
             EFI_PROTOCOL_ERROR,
             setup=["cp -q %s\\f_misbehave.ini %s\\Faults.ini" % (SIM, SIM)],
             snapshot=snap, checks=[unchanged_since("check_read")]),
    ]


BOOTS = [("info", True, info_cases)]
