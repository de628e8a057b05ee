"""Capsules in the UEFI Shell: OrvFmp.efi loaded with `load`, then
OrvCapsule.efi updating both demo ICs from a capsule delivered in
\\EFI\\UpdateCapsule\\ (removed once processed), and refused capsules
(tampered image, an image below the IC's floor) with the last attempt
status the driver records, all with progress shown. Capsules are made with
orvhex capsule from the suite's signed images.
"""

import os
import struct
import uuid

from harness import EFI_SUCCESS, Case, Re
from fixture import V3, V4, bank_files, flash

EFI_ABORTED = 0x8000000000000015
# What the Shell's dmpstore leaves in %lasterror% after showing one named
# variable (checked with this OVMF's Shell): its own status, not ours.
DMPSTORE_STATUS = 0x8000000000000006
REPORT_GUID = "39B68C46-F7FB-441B-B6EC-16B0F69821F3"
CAPSULE_BANNER = "OrvCapsule tool version 00.01.0002"
TOOLS = ("OrvFmp.efi", "OrvCapsule.efi")
# The demo simulator's ICs carry no product id yet: image type of product 0.
PRODUCT = "0"


def add_files(fx, vol):
    """The driver, the application and the capsules (made here with orvhex)."""
    for name in TOOLS:
        path = os.path.join(fx.build, name)
        if not os.path.isfile(path):
            raise FileNotFoundError("%s is not built" % path)
        vol.put_file(path, name)
    folder = os.path.join(fx.files, "capsule")
    os.makedirs(folder, exist_ok=True)
    made = {}
    for name, image, options in (("both.cap", "ocm_v3.hex", []), ("v4.cap", "ocm_v4.hex", ["--ic", "1"]),
                                 ("old.cap", "ocm_v3.hex", ["--ic", "1"])):
        made[name] = os.path.join(folder, name)
        fx._orvhex("capsule", "--product", PRODUCT, *options, fx.hex[image], made[name])
    # A byte of the image's payload changed: the signature no longer holds.
    with open(made["both.cap"], "rb") as f:
        tampered = bytearray(f.read())
    tampered[28 + 16 + 48 + 100] ^= 0x01
    vol.mkdir("EFI")
    vol.mkdir("EFI/UpdateCapsule")
    vol.put_file(made["both.cap"], "EFI/UpdateCapsule/both.cap")
    vol.put_file(made["v4.cap"], "v4.cap")
    vol.put_file(made["old.cap"], "old.cap")
    vol.put_bytes(bytes(tampered), "tampered.cap", fx.workdir)


def item_lines(name, instance, engine, outcome, done=True):
    """The lines of one item and image: SetImage's progress (the driver's
    steps, one line each), the engine's own line, then the outcome line."""
    head = "%s item 0 instance %d: " % (name, instance)
    steps = [head + "%d%%" % p for p in (31, 69, 84, 94)]
    return steps + [engine] + ([head + "100%"] if done else []) + [head + outcome]


def updated(name, ic, section, version):
    return item_lines(name, ic + 1, "IC %d update success,runing section %d, ver %X" % (ic, section, version),
                      "updated, version %X, last attempt status 0" % version)


def refused(name, ic, version):
    """Refused by the IC's own check after the write (the demo simulator
    offers no flash policy yet): EFI_ABORTED, ERROR_UNSUCCESSFUL, and the IC
    stays on its section."""
    return item_lines(name, ic + 1, "HardwareCheckBank Ic %d, check 0, sta 0" % ic,
                      "failed (status 15), version %X, last attempt status 1" % version, done=False)


def record(status, file_name):
    """A Capsule#### value; None stands for the bytes of the time it was
    processed."""
    fmp_capsule = uuid.UUID("6DCBD5ED-E82D-4C44-BDA1-7194199AD92A").bytes_le
    image_type = uuid.UUID("82365A4B-0B14-4B60-A60F-C2EF%08X" % int(PRODUCT)).bytes_le
    name = (file_name + "\0").encode("utf-16-le") + b"\0\0"
    size = 48 + 20 + len(name)
    return (list(struct.pack("<II", size, 0) + fmp_capsule) + [None] * 16
            + list(struct.pack("<QHBB", status, 1, 0, 1) + image_type + name))


def dump(name, attributes, value):
    """dmpstore's lines for one variable: 16 bytes a line, any byte None."""
    lines = ["Variable %s '%s:%s' DataSize = 0x%X" % (attributes, REPORT_GUID, name, len(value))]
    for at in range(0, len(value), 16):
        row = ["(..)" if b is None else "%02X" % b for b in value[at:at + 16]]
        text = " ".join(row[:8]) + ("-" + " ".join(row[8:]) if len(row) > 8 else "")
        lines.append(Re(r"  %08X: %s +\*.*\*" % (at, text.replace("(..)", "[0-9A-F]{2}"))))
    return lines


def capsule_removed(ctx):
    return [] if ctx.volume.get("EFI/UpdateCapsule/both.cap") is None else \
        ["\\EFI\\UpdateCapsule\\both.cap is still there"]


def capsule_cases(fx):
    """Fresh flash: both ICs run section 0 with V1."""
    snap = bank_files()
    both_v3 = [flash(ic, active=1, ocm0=fx.ocm_v1, ocm1=fx.ocm_v3) for ic in (0, 1)]
    return [
        Case("cap_load", "load OrvFmp.efi",
             ["Current target: SimBoard",
              "OrvFmp: the flash component cannot say what its ICs accept; the ICs' own checks "
              "decide after writing",
              "OrvFmp: 2 IC(s) installed", Re(r"Image 'FS0:\\OrvFmp\.efi' loaded at [0-9A-F]+ - Success")],
             EFI_SUCCESS),
        # Both ICs from the delivery folder; the capsule file is removed.
        Case("cap_folder", "OrvCapsule.efi",
             [CAPSULE_BANNER] + updated("both.cap", 0, 1, V3) + updated("both.cap", 1, 1, V3)
             + ["both.cap: removed"],
             EFI_SUCCESS, snapshot=snap, checks=both_v3 + [capsule_removed]),
        # One image byte changed: each IC refuses the bank it was written to
        # and keeps running V3 from section 1.
        Case("cap_tampered", "OrvCapsule.efi tampered.cap",
             [CAPSULE_BANNER] + refused("tampered.cap", 0, V3) + refused("tampered.cap", 1, V3),
             EFI_ABORTED, snapshot=snap,
             checks=[flash(ic, active=1, ocm1=fx.ocm_v3) for ic in (0, 1)]),
        # IC 1 only: V4 carries security counter 2 and raises IC 1's floor.
        Case("cap_v4", "OrvCapsule.efi v4.cap", [CAPSULE_BANNER] + updated("v4.cap", 1, 0, V4),
             EFI_SUCCESS, snapshot=snap,
             checks=[flash(1, active=0, ocm0=fx.ocm_v4, ocm1=fx.ocm_v3),
                     flash(0, active=1, ocm1=fx.ocm_v3)]),
        # V3 (counter 0) below IC 1's floor: refused, IC 1 stays on V4.
        Case("cap_floor", "OrvCapsule.efi old.cap", [CAPSULE_BANNER] + refused("old.cap", 1, V4),
             EFI_ABORTED, snapshot=snap, checks=[flash(1, active=0, ocm0=fx.ocm_v4)]),
        # The result variables as the Shell shows them: six records, the
        # last one the refusal of old.cap (EFI_ABORTED) by IC 1.
        Case("cap_last", "dmpstore CapsuleLast -guid " + REPORT_GUID,
             dump("CapsuleLast", "NV+RT+BS", "Capsule0005".encode("utf-16-le")), DMPSTORE_STATUS),
        Case("cap_record", "dmpstore Capsule0005 -guid " + REPORT_GUID,
             dump("Capsule0005", "NV+RT+BS", record(EFI_ABORTED, "old.cap")), DMPSTORE_STATUS),
    ]


BOOTS = [("capsule", True, capsule_cases)]
BOOT_FILES = {"capsule": [add_files]}
