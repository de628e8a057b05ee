"""End-to-end cases of zone binding: a maker's image signed for one zone is
refused by the chip in the other. Fresh flash: both ICs run section 0 with
V1; the volume holds ocm.hex (V2, signed for the OCM zone) and cust.hex
(customer image A, signed for the customer zone), both for the board's
product. The chip's own check names the reason; the IC keeps running its
section and its floor does not move.
"""

from harness import BANNER, Case

import images

COMP = "OrvUpdateComponent"
SIM = "OrvSim"
OCM_BANK = 16384
EFI_DEVICE_ERROR = 0x8000000000000007
TARGET = "Current target: SimBoard"
SNAP = ["%s\\Ic%d%s" % (SIM, ic, kind) for ic in (0, 1)
        for kind in ("Ocm0.bin", "Ocm1.bin", "Cust0.bin", "Floor.bin", "Active.txt")]


def _stays(ic, running):
    """IC ic still runs section 0 from an untouched bank holding running, and
    its floor is still none."""
    def check(ctx):
        problems = []
        text = ctx.snap("Ic%dActive.txt" % ic)
        if text is not None and text.decode(errors="replace").strip() != "0":
            problems.append("IC %d switched to section %s" % (ic, text.decode(errors="replace").strip()))
        if ctx.snap("Ic%dOcm0.bin" % ic) != images.bank(running, OCM_BANK):
            problems.append("IC %d running bank changed" % ic)
        if images.floor_of(ctx.snap("Ic%dFloor.bin" % ic)) != 0:
            problems.append("IC %d floor moved" % ic)
        return problems
    return check


def add_files(fx, vol):
    """A small OCM image (V2's version, signed for the OCM zone) that fits a
    customer bank, so only its zone can make the chip refuse it there."""
    small = images.image(images.header(fx.ocm_v2)[2], images.payload(50, 1000))
    fx.make_hex("ocm_small.hex", small)
    vol.put_file(fx.hex["ocm_small.hex"], COMP + "/ocm_small.hex")


def zone_binding_cases(fx):
    cust = COMP + "\\cust.hex"
    ocm = COMP + "\\ocm_small.hex"
    return [
        # The customer image given as the OCM image, forced: the chip refuses it.
        Case("zone_cust_as_ocm", "OrvUpdate.efi 0 -f -o " + cust,
             [BANNER, TARGET, "Override OCM zone file, using " + cust,
              "IC 0, current section 0, ver %X" % images.header(fx.ocm_v1)[2],
              "Force Update Is set, Ignore veriosn!!",
              "Start Update Chip 0 OCM section 1",
              "FlashSim: IC 0 OCM bank 1 refused: signed for the customer zone",
              "HardwareCheckBank Ic 0, check 0, sta 0",
              "IC 0 update OCM error 7, current section 0",
              "IC 0 update error 7"],
             EFI_DEVICE_ERROR, snapshot=SNAP, checks=[_stays(0, fx.ocm_v1)]),
        # The OCM image given as the customer image: the customer zone refuses it.
        Case("zone_ocm_as_cust", "OrvUpdate.efi 1 -c " + ocm,
             [BANNER, TARGET, "Override customer zone file, using " + ocm,
              "IC 1, current section 0, ver %X" % images.header(fx.ocm_v1)[2],
              "Start Update Chip 1 OCM section 1",
              "IC 1 update success,runing section 1, ver %X" % images.header(fx.ocm_v2)[2],
              "Start Update Chip 1 Customer Zone!",
              "FlashSim: IC 1 customer bank 0 refused: signed for the OCM zone",
              "HardwareCheckBank Ic 1, check 0, sta 0",
              "IC 1 update error 7"],
             EFI_DEVICE_ERROR, snapshot=SNAP),
    ]
