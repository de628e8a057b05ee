"""Zone binding: a maker's image signed for one zone is refused by the chip
in the other. Fresh flash: both ICs run section 0 with V1; the volume holds
ocm.hex (V2, signed for the OCM zone), cust.hex (customer image A, signed
for the customer zone) and ocm_small.hex (signed for the OCM zone, small
enough for a customer bank), all for the board's product. The flash policy
refuses the image before anything is erased and the update names the
reason; the IC keeps running its section from an untouched bank and its
floor does not move.
"""

from harness import BANNER, Case
from fixture import COMP, EFI_SECURITY_VIOLATION, TARGET, V1, V2, bank_files, flash, floors

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
        # The customer image given as the OCM image, forced: the flash
        # policy refuses it before anything is erased.
        Case("zone_cust_as_ocm", "OrvUpdate.efi 0 -f -o " + cust,
             [BANNER, TARGET, "Override OCM zone file, using " + cust,
              "IC 0, current section 0, ver %X" % V1,
              "Force Update Is set, Ignore veriosn!!",
              "IC 0 OCM image refused: signed for the other zone",
              "IC 0 update error 1A"],
             EFI_SECURITY_VIOLATION, snapshot=snap,
             checks=[flash(0, active=0, ocm0=fx.ocm_v1), floors(ic0=0)]),
        # An OCM image given as the customer image: refused before the IC's
        # OCM zone is touched, so the IC is not left half updated.
        Case("zone_ocm_as_cust", "OrvUpdate.efi 1 -c " + small,
             [BANNER, TARGET, "Override customer zone file, using " + small,
              "IC 1, current section 0, ver %X" % V1,
              "IC 1 customer image refused: signed for the other zone",
              "IC 1 update error 1A"],
             EFI_SECURITY_VIOLATION, snapshot=snap,
             checks=[flash(1, active=0, ocm0=fx.ocm_v1), floors(ic1=0)]),
    ]


BOOTS = [("zonebind", True, zone_binding_cases)]
BOOT_FILES = {"zonebind": [add_files]}
