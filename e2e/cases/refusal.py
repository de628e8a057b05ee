"""Refusals before erase: on the suite's board (both ICs hold the demo key
and run V1 from section 0), the flash policy refuses an image signed for the
other zone and, once V4 has raised IC 0's floor, a forced downgrade to V3.
OrvInfo.efi plans each as refused with the reason, and OrvUpdate.efi names
the reason and leaves every bank file byte for byte as OrvInfo's run before
it left them.
"""

from harness import BANNER, EFI_SUCCESS, Case
from fixture import (COMP, EFI_SECURITY_VIOLATION, INFO_BANNER, TARGET, V1, V3, V4, V4_COUNTER,
                     bank_files, downgrade_lines, floors, ic_lines, info_line, unchanged_since)


def refusal_cases(fx):
    snap = bank_files()
    cust = COMP + "\\cust.hex"
    v3 = COMP + "\\ocm_v3.hex"
    v4 = COMP + "\\ocm_v4.hex"
    zone_refused = "IC 0 OCM image refused: signed for the other zone"
    return [
        Case("refusal_info_zone", "OrvInfo.efi 0 -f -o " + cust,
             [INFO_BANNER, TARGET, "Override OCM zone file, using " + cust, "ics=2",
              info_line(0, 0, V1, 0, "A", "refused", customer="refused"), zone_refused],
             EFI_SUCCESS, snapshot=snap),
        Case("refusal_zone", "OrvUpdate.efi 0 -f -o " + cust,
             [BANNER, TARGET, "Override OCM zone file, using " + cust,
              "IC 0, current section 0, ver %X" % V1, "Force Update Is set, Ignore veriosn!!",
              zone_refused, "IC 0 update error 1A"],
             EFI_SECURITY_VIOLATION, snapshot=snap,
             checks=[unchanged_since("refusal_info_zone"), floors(ic0=0)]),
        Case("refusal_raise", "OrvUpdate.efi 0 -o " + v4,
             [BANNER, TARGET, "Override OCM zone file, using " + v4]
             + ic_lines(0, 0, V1, target=1, new_ver=V4),
             EFI_SUCCESS, snapshot=snap, checks=[floors(ic0=V4_COUNTER)]),
        Case("refusal_info_downgrade", "OrvInfo.efi 0 -f -o " + v3,
             [INFO_BANNER, TARGET, "Override OCM zone file, using " + v3, "ics=2",
              info_line(0, 1, V1, V4, "%X" % V3, "refused", customer="refused",
                        floor=V4_COUNTER),
              "IC 0 OCM image refused: counter 0 below floor %d" % V4_COUNTER],
             EFI_SUCCESS, snapshot=snap),
        Case("refusal_downgrade", "OrvUpdate.efi 0 -f -o " + v3,
             [BANNER, TARGET, "Override OCM zone file, using " + v3] + downgrade_lines(0, 1, V4),
             EFI_SECURITY_VIOLATION, snapshot=snap,
             checks=[unchanged_since("refusal_info_downgrade"), floors(ic0=V4_COUNTER)]),
    ]


BOOTS = [("refusal", True, refusal_cases)]
