"""End-to-end cases for zone images written by the common Intel HEX tools
(srec_cat, objcopy, python3-intelhex) instead of orvhex: the image parser
driver loads each file in the UEFI Shell and the update programs it.

The images are over 64 KiB, signed with the demo key (the parser takes
only signed images), and carry erased runs in the payload, so the files show
records running across a 64 KiB boundary, 02 segment records, CRLF and lower
case, and holes. (A signed image ends in its signature block, so no FF tail
is left out here; the host interop test covers that with unsigned images.) The
boot uses one IC with 128 KiB OCM banks; its bank 0 is seeded from one of the
tool files, so the flash simulator's decoding is tried as well.
"""

import os
import shutil
import subprocess

import images
import orvqemu
from harness import BANNER, EFI_SUCCESS, Case

COMP = "OrvUpdateComponent"
SIM = "OrvSim"
TARGET = "Current target: SimBoard"
BANK = 131072
PAYLOAD = 70000
SYSTEM_PYTHON = "/usr/bin/python3"

FLASH_INI = """[FlashSim]
IcCount = 1
OcmBankSize = %d
CustomerBankSize = 4096
Timing = off

[Ic0]
Address = 0x20
ActiveSection = 0
Ocm0Seed = OrvSim\\seed.hex
""" % BANK

_INTELHEX_UNFILLED = """
import sys, intelhex
image = open(sys.argv[1], "rb").read()
ih = intelhex.IntelHex()
ih.fromdict({a: b for a, b in enumerate(image) if b != 0xFF})
ih.start_addr = {"EIP": 0x1234}
with open(sys.argv[2], "w", newline="") as f:
    ih.write_hex_file(f, write_start_addr=True, eolstyle="CRLF", byte_count=32)
"""

# File name, how it is written, version of its image.
FILES = [
    ("seed.hex", "srec_cat -unfill 0xFF 16 -obs 255 (records across 64 KiB, holes)", 0x00030001),
    ("srec255.hex", "srec_cat -obs 255", 0x00030002),
    ("srecseg.hex", "srec_cat -address-length=3 -obs 255 -crlf (02 segments)", 0x00030003),
    ("srecunf.hex", "srec_cat -unfill 0xFF 16, lower case", 0x00030004),
    ("objcopy.hex", "objcopy -O ihex (CRLF, 02 records)", 0x00030005),
    ("pyihunf.hex", "python3-intelhex, bytes that are not FF only, 05 record", 0x00030006),
]


_SIGNED = {}


def interop_image(version):
    """The image of a version, signed once with the demo key (the parser
    takes only signed images); an FF run in the middle and at the end of
    the payload gives the tools holes to leave out."""
    if version not in _SIGNED:
        data = bytearray(images.payload(40, PAYLOAD))
        data[20000:25000] = b"\xff" * 5000
        data[-3000:] = b"\xff" * 3000
        _SIGNED[version] = images.signed(images.image(version, bytes(data)), 0,
                                         images.DEMO_KEY, images.DEMO_PUB)
    return _SIGNED[version]


def _run(argv):
    try:
        proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except FileNotFoundError:
        raise orvqemu.E2EError("HEX interop files: %s is missing (scripts/install-deps.sh "
                               "installs srecord, binutils and python3-intelhex)" % argv[0])
    if proc.returncode != 0:
        raise orvqemu.E2EError("HEX interop files: %s failed: %s"
                               % (" ".join(argv), proc.stderr.decode(errors="replace").strip()))


def _write(name, image_path, out):
    if name == "seed.hex":
        _run(["srec_cat", image_path, "-binary", "-unfill", "0xFF", "16", "-o", out, "-intel",
              "-obs", "255"])
    elif name == "srec255.hex":
        _run(["srec_cat", image_path, "-binary", "-o", out, "-intel", "-obs", "255"])
    elif name == "srecseg.hex":
        _run(["srec_cat", image_path, "-binary", "-o", out, "-intel", "-address-length=3",
              "-obs", "255", "-crlf"])
    elif name == "srecunf.hex":
        _run(["srec_cat", image_path, "-binary", "-unfill", "0xFF", "16", "-o", out, "-intel"])
        with open(out, "rb") as f:
            text = f.read().lower()
        with open(out, "wb") as f:
            f.write(text)
    elif name == "objcopy.hex":
        _run(["objcopy", "-I", "binary", "-O", "ihex", image_path, out])
    elif name == "pyihunf.hex":
        _run([SYSTEM_PYTHON, "-c", _INTELHEX_UNFILLED, image_path, out])


def add_files(fx, vol):
    """Writes the tool files and the boot's flash configuration onto vol."""
    folder = os.path.join(fx.files, "hexinterop")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, _, version in FILES:
        image_path = os.path.join(folder, name + ".image.bin")
        with open(image_path, "wb") as f:
            f.write(interop_image(version))
        out = os.path.join(folder, name)
        _write(name, image_path, out)
        vol.put_file(out, (SIM if name == "seed.hex" else COMP) + "/" + name)
    vol.put_text(FLASH_INI, SIM + "/FlashBig.ini", fx.workdir)


def _bank_check(active, banks):
    """The IC's active section and its OCM banks ({bank: image}) as the run
    left them."""
    def check(ctx):
        problems = []
        text = ctx.snap("Ic0Active.txt")
        got = "0" if text is None else text.decode(errors="replace").strip()
        if got != str(active):
            problems.append("IC 0 active section is %s, expected %s" % (got, active))
        for bank, img in banks.items():
            data = ctx.snap("Ic0Ocm%d.bin" % bank)
            if data is None:
                problems.append("IC 0 bank file Ocm%d missing" % bank)
            elif data != images.bank(img, BANK):
                problems.append("IC 0 Ocm%d does not hold the image of version %X padded with FF"
                                % (bank, images.header(img)[2]))
        return problems
    return check


def interop_cases(fx):
    snap = ["%s\\Ic0%s.bin" % (SIM, k) for k in ("Ocm0", "Ocm1", "Cust0")] + \
        ["%s\\Ic0Active.txt" % SIM]
    images_by_name = {name: interop_image(version) for name, _, version in FILES}
    cases = []
    section = 0
    chip_ver = FILES[0][2]   # bank 0 seeded from seed.hex
    banks = {0: images_by_name["seed.hex"]}
    # The last run names its file with a volume prefix: the parser then
    # reads it through the shell.
    runs = [(COMP + "\\" + name, name, how, version) for name, how, version in FILES[1:]]
    runs.append(("fs0:\\" + COMP + "\\srec255.hex", "srec255.hex", "through the shell", FILES[1][2]))
    for number, (path, name, how, version) in enumerate(runs):
        target = 1 - section
        banks = dict(banks)
        banks[target] = images_by_name[name]
        lines = [BANNER, TARGET, "Override OCM zone file, using " + path,
                 "IC 0, current section %X, ver %X" % (section, chip_ver),
                 "Force Update Is set, Ignore veriosn!!",
                 "Start Update Chip 0 OCM section %X" % target,
                 "IC 0 update success,runing section %X, ver %X" % (target, version),
                 "Start Update Chip 0 Customer Zone!"]
        setup = ["cp -q %s\\FlashBig.ini %s\\FlashSim.ini" % (SIM, SIM)] if number == 0 else []
        case_id = "hexi_" + name.split(".")[0] + ("_shell" if path.startswith("fs0:") else "")
        cases.append(Case(case_id, "OrvUpdate.efi 0 -f -o " + path, lines,
                          EFI_SUCCESS, setup=setup, snapshot=snap,
                          checks=[_bank_check(target, banks)], note=how))
        section, chip_ver = target, version
    return cases


BOOTS = [("hexinterop", True, interop_cases)]
BOOT_FILES = {"hexinterop": [add_files]}
