"""Zone binding: a maker's image signed for one zone is refused by the chip
in the other. Fresh flash: both ICs run section 0 with V1; the volume holds
ocm.hex (V2, signed for the OCM zone), cust.hex (customer image A, signed
for the customer zone) and ocm_small.hex (signed for the OCM zone, small
enough for a customer bank), all for the board's product. The chip's own
check names the reason; the IC keeps running its section from an untouched
bank and its floor does not move.
"""

from harness import BANNER, EFI_DEVICE_ERROR, Case
from fixture import COMP, TARGET, V1, V2, bank_files, flash, floors, ic_lines

import images


def add_files(fx, vol):
    """The small OCM image: only its zone can make a customer bank refuse it."""
    small = images.image(V2, images.payload(50, 1000))
    fx.make_hex("ocm_small.hex", small)
    vol.put_file(fx.hex["ocm_small.hex"], COMP + "/ocm_small.hex")


def zone_binding_cases(fx):
    cust = COMP + "\\cust.hex"
    small = COMP + "\\ocm_small.hex"
    snap = bank_files()
    return [
        # The customer image given as the OCM image, forced: the chip refuses it.
        Case("zone_cust_as_ocm", "OrvUpdate.efi 0 -f -o " + cust,
             [BANNER, TARGET, "Override OCM zone file, using " + cust,
              "IC 0, current section 0, ver %X" % V1,
              "Force Update Is set, Ignore veriosn!!",
              "Start Update Chip 0 OCM section 1",
              "FlashSim: IC 0 OCM bank 1 refused: signed for the customer zone",
              "HardwareCheckBank Ic 0, check 0, sta 0",
              "IC 0 update OCM error 7, current section 0",
              "IC 0 update error 7"],
             EFI_DEVICE_ERROR, snapshot=snap,
             checks=[flash(0, active=0, ocm0=fx.ocm_v1), floors(ic0=0)]),
        # An OCM image given as the customer image: the customer zone refuses it.
        Case("zone_ocm_as_cust", "OrvUpdate.efi 1 -c " + small,
             [BANNER, TARGET, "Override customer zone file, using " + small]
             + ic_lines(1, 0, V1, target=1, new_ver=V2, customer=True)
             + ["FlashSim: IC 1 customer bank 0 refused: signed for the OCM zone",
                "HardwareCheckBank Ic 1, check 0, sta 0",
                "IC 1 update error 7"],
             EFI_DEVICE_ERROR, snapshot=snap,
             checks=[flash(1, active=1, ocm0=fx.ocm_v1, ocm1=fx.ocm_v2), floors(ic1=0)]),
    ]


BOOTS = [("zonebind", True, zone_binding_cases)]
BOOT_FILES = {"zonebind": [add_files]}
