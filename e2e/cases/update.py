"""Updates that succeed or are refused before any IC is touched: both ICs,
forced, backup, -d, -r, missing ICs, broken and badly signed zone files, the
security floor, and the progress shown while a slow flash is written.
"""

import re

from harness import BANNER, EFI_DEVICE_ERROR, EFI_NOT_FOUND, EFI_SUCCESS, Case, demo_key_warned
from fixture import (COMP, DRIVERS, EFI_SECURITY_VIOLATION, EFI_VOLUME_CORRUPTED, ERASED,
                     SIM, TARGET, V1, V2, V4, V4_COUNTER, bank_files, downgrade_lines,
                     file_lines, flash, flashsim_ini, floors, ic_lines, load_error,
                     low32, unchanged_since)

def update_cases(fx):
    """Fresh flash: both ICs run section 0 with version V1; the settings name
    ocm.hex (V2) and cust.hex (customer image A)."""
    snap = bank_files()
    mv_drivers = ["mv %s\\%s parked\\%s" % (COMP, d, d) for d in DRIVERS]
    return [
        # First run of the boot: the three drivers are loaded from their files.
        Case("typical", "OrvUpdate.efi 0 1",
             [BANNER, TARGET]
             + ic_lines(0, 0, V1, target=1, new_ver=V2)
             + ic_lines(1, 0, V1, target=1, new_ver=V2),
             EFI_SUCCESS, snapshot=snap,
             checks=[demo_key_warned,
                     flash(0, active=1, ocm0=fx.ocm_v1, ocm1=fx.ocm_v2, cust0=fx.cust_a,
                           cust1=ERASED),
                     flash(1, active=1, ocm0=fx.ocm_v1, ocm1=fx.ocm_v2, cust0=fx.cust_a,
                           cust1=ERASED)]),
        # The driver files are gone from the volume, so the protocols can only
        # have been found installed. A new customer image proves the customer
        # zone is written again although the OCM zone is up to date.
        Case("second", "OrvUpdate.efi 0 1",
             [BANNER, TARGET]
             + ic_lines(0, 1, V2, image_ver=V2) + ic_lines(1, 1, V2, image_ver=V2),
             EFI_SUCCESS,
             setup=mv_drivers + ["cp -q %s\\cust_b.hex %s\\cust.hex" % (COMP, COMP)],
             snapshot=snap,
             checks=[flash(0, active=1, ocm0=fx.ocm_v1, ocm1=fx.ocm_v2, cust0=fx.cust_b,
                           cust1=ERASED),
                     flash(1, active=1, ocm0=fx.ocm_v1, ocm1=fx.ocm_v2, cust0=fx.cust_b,
                           cust1=ERASED)]),
        Case("force", "OrvUpdate.efi 0 -f",
             [BANNER, TARGET] + ic_lines(0, 1, V2, target=0, force=True, new_ver=V2),
             EFI_SUCCESS, snapshot=snap,
             checks=[flash(0, active=0, ocm0=fx.ocm_v2, ocm1=fx.ocm_v2, cust0=fx.cust_b,
                           cust1=ERASED),
                     flash(1, active=1, ocm0=fx.ocm_v1, ocm1=fx.ocm_v2)]),
        Case("backup", "OrvUpdate.efi 1 -cb",
             [BANNER, TARGET] + ic_lines(1, 1, V2, image_ver=V2, backup=True),
             EFI_SUCCESS, snapshot=snap,
             checks=[flash(1, active=1, ocm0=fx.ocm_v1, ocm1=fx.ocm_v2, cust0=fx.cust_b,
                           cust1=fx.cust_b),
                     flash(0, cust1=ERASED)]),
        Case("dfound", "OrvUpdate.efi -d 21 0",
             [BANNER, TARGET] + ic_lines(1, 1, V2, image_ver=V2),
             EFI_SUCCESS),
        Case("dnotfound", "OrvUpdate.efi -d 5a",
             [BANNER, TARGET, "Addr 5A IC not found", "Available : 20 21 "],
             EFI_NOT_FOUND, snapshot=snap, checks=[unchanged_since("backup")]),
        Case("read", "OrvUpdate.efi 1 -r 0 10",
             [BANNER, TARGET, "Read ic 1, addr 00000000, length 00000010"],
             EFI_SUCCESS, snapshot=snap, checks=[unchanged_since("backup")]),
        Case("all", "OrvUpdate.efi -a",
             [BANNER, TARGET] + ic_lines(0, 0, V2, image_ver=V2)
             + ic_lines(1, 1, V2, image_ver=V2),
             EFI_SUCCESS),
        # IC 5 does not exist on this board: it is reported and the run
        # fails, also beside an IC that exists, and in read mode.
        Case("nosuchic", "OrvUpdate.efi 5",
             [BANNER, TARGET, "IC 5 not found"], EFI_NOT_FOUND, snapshot=snap,
             checks=[unchanged_since("backup")]),
        Case("nosuchicbeside", "OrvUpdate.efi 5 0 9",
             [BANNER, TARGET] + ic_lines(0, 0, V2, image_ver=V2)
             + ["IC 5 not found", "IC 9 not found"], EFI_NOT_FOUND),
        Case("nosuchicread", "OrvUpdate.efi 5 -r 0 10",
             [BANNER, TARGET, "IC 5 not found"], EFI_NOT_FOUND),
        # Only a customer image: no version line, customer zone still written.
        Case("custonly", "OrvUpdate.efi 0",
             [BANNER, TARGET, "OCM zone is set not to update",
              "Start Update Chip 0 Customer Zone!"],
             EFI_SUCCESS,
             setup=["cp -q %s\\custonly.ini %s\\OrvUpdateSettings.ini" % (COMP, COMP)],
             snapshot=snap,
             checks=[flash(0, active=0, ocm0=fx.ocm_v2, ocm1=fx.ocm_v2, cust0=fx.cust_b)]),
    ] + bad_hex_cases(fx) + [
        # A zone file named by the settings that does not parse.
        Case("badsettingshex", "OrvUpdate.efi 0 1",
             [BANNER, TARGET,
              fx.bad["bad_sum.hex"][1].format(path=COMP + "\\bad_sum.hex"),
              "Load OCM Image error, A"] + load_error(EFI_VOLUME_CORRUPTED),
             EFI_VOLUME_CORRUPTED,
             setup=["cp -q %s\\badocm.ini %s\\OrvUpdateSettings.ini" % (COMP, COMP)],
             snapshot=snap, checks=[unchanged_since("custonly")]),
        # A settings file cut short: the customer key is missing, so nothing
        # is programmed although the OCM image loaded.
        Case("truncsettings", "OrvUpdate.efi 0 1",
             [BANNER, TARGET, "Load Customer zone error, E"] + load_error(EFI_NOT_FOUND),
             EFI_NOT_FOUND,
             setup=["cp -q %s\\trunc.ini %s\\OrvUpdateSettings.ini" % (COMP, COMP)],
             snapshot=snap, checks=[unchanged_since("custonly")]),
    ] + floor_cases(fx)


def bad_hex_cases(fx):
    """Each broken file is refused by the parser before any IC is touched: a
    bad file with EFI_VOLUME_CORRUPTED, a file only its signature gives away
    (sig_*) with EFI_SECURITY_VIOLATION."""
    cases = []
    for name in sorted(fx.bad):
        path = COMP + "\\" + name
        status = EFI_SECURITY_VIOLATION if name.startswith("sig_") else EFI_VOLUME_CORRUPTED
        cases.append(Case(
            "hex_" + name.split(".")[0], "OrvUpdate.efi 0 1 -o " + path,
            [BANNER, TARGET, "Override OCM zone file, using " + path,
             fx.bad[name][1].format(path=path),
             "Load %s error, %s" % (path, low32(status))] + load_error(status),
            status, snapshot=bank_files(), checks=[unchanged_since("custonly")]))
    return cases


def floor_cases(fx):
    """IC 0 runs V2 from section 0 (counter 0). V4 (counter 2) raises its
    floor; V3, validly signed with counter 0, forced with -f, is refused by
    the flash policy before anything is erased, and the IC stays on V4."""
    snap = bank_files([0])
    v4 = "%s\\ocm_v4.hex" % COMP
    v3 = "%s\\ocm_v3.hex" % COMP
    return [
        Case("floor_raise", "OrvUpdate.efi 0 -o " + v4,
             [BANNER, TARGET, "Override OCM zone file, using " + v4]
             + ic_lines(0, 0, V2, target=1, new_ver=V4),
             EFI_SUCCESS, setup=["cp -q %s\\good.ini %s\\OrvUpdateSettings.ini" % (COMP, COMP)],
             snapshot=snap, checks=[flash(0, active=1, ocm1=fx.ocm_v4), floors(ic0=V4_COUNTER)]),
        Case("floor_downgrade", "OrvUpdate.efi 0 -f -o " + v3,
             [BANNER, TARGET, "Override OCM zone file, using " + v3] + downgrade_lines(0, 1, V4),
             EFI_SECURITY_VIOLATION, snapshot=snap,
             checks=[unchanged_since("floor_raise"), floors(ic0=V4_COUNTER)]),
    ]


# ------------------------------------------------------------------ progress
#
# Timing on, with a sector erase of 0.3 s and a page write of 50 ms: erasing
# and writing the OCM bank take over a second each, so the flash simulator
# shows their progress on the standard error console; the customer bank's
# erase and write stay below a second and show none.

PROGRESS_FLASHSIM_INI = flashsim_ini(timing="Timing = on\nSectorEraseUs = 300000\n"
                                            "PageProgramUs = 50000\n")


def progress_shown(ic, operation):
    """The run's console shows the progress of that operation on IC ic's OCM
    bank 1: one line redrawn in place, percentages from 0 to 100 that never
    go back, then cleared with blanks."""
    line = re.compile(rb"\rFlashSim: %s IC %d OCM bank 1: +(\d+)%%" % (operation.encode(), ic))

    def check(ctx):
        raw = ctx.raw_run()
        found = list(line.finditer(raw))
        shown = [int(m.group(1)) for m in found]
        if len(shown) < 3:
            return ["IC %d %s: %d progress lines on the console, expected several"
                    % (ic, operation, len(shown))]
        problems = []
        if shown[0] != 0 or shown[-1] != 100 or any(b <= a for a, b in zip(shown, shown[1:])):
            problems.append("IC %d %s: progress went %s, expected 0 rising to 100"
                            % (ic, operation, shown))
        if not re.match(rb"\r +\r", raw[found[-1].end():]):
            problems.append("IC %d %s: the progress line was not cleared" % (ic, operation))
        if b"customer bank" in raw:
            problems.append("a customer bank's erase or write (under a second) showed progress")
        return problems
    return check

def progress_cases(fx):
    return [
        Case("timed", "OrvUpdate.efi 0",
             [BANNER, TARGET] + ic_lines(0, 0, V1, target=1, new_ver=V2), EFI_SUCCESS,
             checks=[progress_shown(0, "erase"), progress_shown(0, "write")]),
        # Standard output redirected to a file: the file holds exactly the
        # application's lines, the progress stays on the console.
        Case("timedredirect", "OrvUpdate.efi 1 >a timed.txt", [], EFI_SUCCESS,
             snapshot=["timed.txt"],
             checks=[file_lines("timed.txt",
                                [BANNER, TARGET] + ic_lines(1, 0, V1, target=1, new_ver=V2)),
                     progress_shown(1, "erase"), progress_shown(1, "write")]),
    ]


BOOTS = [("update", True, update_cases), ("progress", True, progress_cases)]

# The progress boot's flash is slow.
BOOT_FILES = {
    "progress": [lambda fx, vol: vol.put_text(PROGRESS_FLASHSIM_INI, SIM + "/FlashSim.ini",
                                              fx.workdir)],
}
