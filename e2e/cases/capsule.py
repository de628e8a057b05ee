"""Capsules in the UEFI Shell: OrvFmp.efi loaded with `load`, then
OrvCapsule.efi updating both demo ICs from a capsule delivered in
\\EFI\\UpdateCapsule\\ (removed once processed), and refused capsules
(tampered image, an image below the IC's floor) with the last attempt
status the driver records, all with progress shown. Capsules are made with
orvhex capsule from the suite's signed images. The simulator answers the
driver's acceptability query, so a refused image is refused before anything
is written: tampered (the signature no longer holds), signed by a foreign
key, signed for another product (its capsule's image type rewritten by hand
to reach the board's ICs), below the floor.
"""

import os
import struct
import uuid

import images
from harness import EFI_DEVICE_ERROR, EFI_SUCCESS, Case, Re
from fixture import V3, V4, V4_COUNTER, bank_files, flash

EFI_SECURITY_VIOLATION = 0x800000000000001A
# What the Shell's dmpstore leaves in %lasterror% after showing one named
# variable (checked with this OVMF's Shell): its own status, not ours.
DMPSTORE_STATUS = 0x8000000000000006
REPORT_GUID = "39B68C46-F7FB-441B-B6EC-16B0F69821F3"
CAPSULE_BANNER = "OrvCapsule tool version 00.01.0002"
TOOLS = ("OrvFmp.efi", "OrvCapsule.efi")
# The product the suite's ICs are provisioned with and its images signed for.
PRODUCT = images.PRODUCT
OTHER_PRODUCT = "0x4F525602"
# LAST_ATTEMPT_STATUS_ERROR_*
INCORRECT_VERSION, INVALID_FORMAT, AUTH_ERROR = 3, 4, 5
# Where an FMP capsule of orvhex holds the first item's image type.
ITEM_IMAGE_TYPE = 28 + 16 + 4


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
    for name, path in refused_images(fx, folder).items():
        made[name] = os.path.join(folder, name)
        # The tampered image goes to every IC, the other two to IC 0.
        fx._orvhex("capsule", *([] if name == "tampered.cap" else ["--ic", "0"]), path, made[name])
    # A maker's tool that skipped orvhex: the image of another product in an
    # item addressed to the board's: only the IC's own check stands between.
    with open(made["product.cap"], "rb") as f:
        wrong = bytearray(f.read())
    at = ITEM_IMAGE_TYPE + 12
    assert wrong[at:at + 4] == struct.pack(">I", int(OTHER_PRODUCT, 0)), "image type not where expected"
    wrong[at:at + 4] = struct.pack(">I", int(PRODUCT, 0))
    with open(made["product.cap"], "wb") as f:
        f.write(bytes(wrong))
    vol.mkdir("EFI")
    vol.mkdir("EFI/UpdateCapsule")
    vol.put_file(made["both.cap"], "EFI/UpdateCapsule/both.cap")
    vol.put_file(made["v4.cap"], "v4.cap")
    for name in ("old.cap", "tampered.cap", "foreign.cap", "product.cap"):
        vol.put_file(made[name], name)


def refused_images(fx, folder):
    """HEX files of V3 that the IC must refuse: {capsule name: path}. The
    tampered one has its checksum repaired, so only the signature fails."""
    with open(fx.hex["ocm_v3.hex"] + ".image.bin", "rb") as f:
        v3 = f.read()
    length = images.header(v3)[1]
    tampered = bytearray(v3)
    tampered[images.HEADER_SIZE + 100] ^= 0x01
    paths = {"tampered.cap": os.path.join(folder, "tampered.hex")}
    with open(paths["tampered.cap"], "w") as f:
        f.write("\n".join(images.hex_records(images.with_crc_repaired(bytes(tampered)))
                          + [images.EOF_RECORD]) + "\n")
    payload = os.path.join(folder, "v3.payload.bin")
    with open(payload, "wb") as f:
        f.write(v3[images.HEADER_SIZE:images.HEADER_SIZE + length])
    foreign = os.path.join(folder, "foreign-key.pem")
    if not os.path.exists(foreign):
        fx._orvhex("keygen", foreign, foreign + ".pub")
    for name, key, product in (("foreign.cap", foreign, PRODUCT), ("product.cap", images.DEMO_KEY, OTHER_PRODUCT)):
        paths[name] = os.path.join(folder, name + ".hex")
        fx._orvhex("make", "--version", "0x%X" % V3, "--zone", "ocm", "--product", product, "--key", key,
                   payload, paths[name])
    return paths


def item_lines(name, instance, engine, outcome, done=True):
    """The lines of one item and image: SetImage's progress (the driver's
    steps, one line each), the engine's own line, then the outcome line."""
    head = "%s item 0 instance %d: " % (name, instance)
    steps = [head + "%d%%" % p for p in (31, 69, 84, 94)]
    return steps + [engine] + ([head + "100%"] if done else []) + [head + outcome]


def updated(name, ic, section, version, counter=0):
    return item_lines(name, ic + 1, "IC %d update success,runing section %d, ver %X" % (ic, section, version),
                      "updated, version %X, last attempt status 0" % fmp_version(counter, version))


def fmp_version(counter, version):
    return counter << 24 | (version & 0xFFFFFF)


def refused(name, ic, version, reason, updatable, status=EFI_SECURITY_VIOLATION):
    """Refused by the IC's answer to CheckImage's query, before any write:
    no progress, the reason in the last attempt status."""
    return ["OrvFmp: IC %d refused the image, last attempt status %d" % (ic, reason),
            "%s item 0 instance %d: CheckImage refuses (status 0, updatable %X), failed (status %X), "
            "version %X, last attempt status %d" % (name, ic + 1, updatable, status & 0xFF, version, reason)]


def record(status, file_name):
    """A Capsule#### value; None stands for the bytes of the time it was
    processed."""
    fmp_capsule = uuid.UUID("6DCBD5ED-E82D-4C44-BDA1-7194199AD92A").bytes_le
    image_type = uuid.UUID("82365A4B-0B14-4B60-A60F-C2EF%08X" % int(PRODUCT, 0)).bytes_le
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
             ["Current target: SimBoard", "OrvFmp: 2 IC(s) installed",
              Re(r"Image 'FS0:\\OrvFmp\.efi' loaded at [0-9A-F]+ - Success")],
             EFI_SUCCESS),
        # A second copy does not start: no repeated instances or ESRT entries
        # (the Shell's load leaves its own status in %lasterror%).
        Case("cap_load_again", "load OrvFmp.efi",
             ["OrvFmp: already loaded", "Image 'FS0:\\OrvFmp.efi' error in StartImage: Already started"],
             EFI_DEVICE_ERROR),
        # Both ICs from the delivery folder; the capsule file is removed.
        Case("cap_folder", "OrvCapsule.efi",
             [CAPSULE_BANNER] + updated("both.cap", 0, 1, V3) + updated("both.cap", 1, 1, V3)
             + ["both.cap: removed"],
             EFI_SUCCESS, snapshot=snap, checks=both_v3 + [capsule_removed]),
        # One payload byte changed (checksum repaired): the signature fails,
        # both ICs refuse before writing and keep V1 in their other bank.
        Case("cap_tampered", "OrvCapsule.efi tampered.cap",
             [CAPSULE_BANNER] + refused("tampered.cap", 0, V3, AUTH_ERROR, 2)
             + refused("tampered.cap", 1, V3, AUTH_ERROR, 2),
             EFI_SECURITY_VIOLATION, snapshot=snap, checks=both_v3),
        Case("cap_foreign", "OrvCapsule.efi foreign.cap",
             [CAPSULE_BANNER] + refused("foreign.cap", 0, V3, AUTH_ERROR, 2),
             EFI_SECURITY_VIOLATION, snapshot=snap, checks=both_v3),
        Case("cap_product", "OrvCapsule.efi product.cap",
             [CAPSULE_BANNER] + refused("product.cap", 0, V3, INVALID_FORMAT, 4),
             EFI_SECURITY_VIOLATION, snapshot=snap, checks=both_v3),
        # IC 1 only: V4 carries security counter 2 and raises IC 1's floor.
        Case("cap_v4", "OrvCapsule.efi v4.cap", [CAPSULE_BANNER] + updated("v4.cap", 1, 0, V4, V4_COUNTER),
             EFI_SUCCESS, snapshot=snap,
             checks=[flash(1, active=0, ocm0=fx.ocm_v4, ocm1=fx.ocm_v3),
                     flash(0, active=1, ocm1=fx.ocm_v3)]),
        # V3 (counter 0) below IC 1's floor: refused, IC 1 stays on V4.
        Case("cap_floor", "OrvCapsule.efi old.cap",
             [CAPSULE_BANNER] + refused("old.cap", 1, fmp_version(V4_COUNTER, V4), INCORRECT_VERSION, 8),
             EFI_SECURITY_VIOLATION, snapshot=snap,
             checks=[flash(1, active=0, ocm0=fx.ocm_v4, ocm1=fx.ocm_v3)]),
        # The result variables as the Shell shows them: eight records, the
        # last one the refusal of old.cap by IC 1.
        Case("cap_last", "dmpstore CapsuleLast -guid " + REPORT_GUID,
             dump("CapsuleLast", "NV+RT+BS", "Capsule0007".encode("utf-16-le")), DMPSTORE_STATUS),
        Case("cap_record", "dmpstore Capsule0007 -guid " + REPORT_GUID,
             dump("Capsule0007", "NV+RT+BS", record(EFI_SECURITY_VIOLATION, "old.cap")), DMPSTORE_STATUS),
    ]


BOOTS = [("capsule", True, capsule_cases)]
BOOT_FILES = {"capsule": [add_files]}
