#!/usr/bin/env python3
"""End-to-end suite: OrvUpdate.efi with the reference component drivers in
the UEFI Shell of OVMF under QEMU.

Each boot gets a fresh FAT disk image holding the application, the settings
file, the driver files, zone images made with orvhex, the flash simulator's
configuration and the fault files the cases switch between. Every run's
console lines and %lasterror% are checked exactly; the simulated flash is
copied into snap\\<case>\\ right after a run and read back from the disk image
afterwards.

Environment: ORV_BUILD_DIR (build directory, required), E2E_WORKDIR (scratch,
default <build>/e2e), E2E_BOOT_TIMEOUT (seconds per boot, default 150),
E2E_STALL_TIMEOUT (seconds without console progress before a boot is
stopped, default 20), E2E_ONLY (comma-separated names of boots, cases or power-cut
sequences to run, default all; E2E_BOOTS is an older name for it), E2E_JOBS (boots side by
side, default 2 or the number of cores if lower), ORV_QEMU_KVM=1 (try KVM,
see orvqemu.py).
"""

import concurrent.futures
import json
import os
import re
import struct
import subprocess
import sys
import threading
import time

# Keep the source tree free of bytecode caches.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import hex_interop_cases  # noqa: E402
import images  # noqa: E402
import orvqemu  # noqa: E402
from harness import (BANNER, EFI_DEVICE_ERROR, EFI_INVALID_PARAMETER,  # noqa: E402
                     EFI_NOT_FOUND, EFI_SUCCESS, Case, Re, Suite, compare_lines, low32)

EFI_VOLUME_CORRUPTED = 0x800000000000000A
EFI_SECURITY_VIOLATION = 0x800000000000001A
EFI_NOT_READY = 0x8000000000000006
EFI_BAD_BUFFER_SIZE = 0x8000000000000004
EFI_CRC_ERROR = 0x800000000000001B
EFI_PROTOCOL_ERROR = 0x8000000000000018

OCM_BANK = 16384
CUST_BANK = 4096
SECTOR_SIZE = 4096     # the flash simulator's erase and program units
PAGE_SIZE = 256
COMP = "OrvUpdateComponent"
SIM = "OrvSim"
DRIVERS = ("OrvHexImage.efi", "OrvFlashSim.efi", "OrvPathSim.efi")

# Versions: the chips report the low 32 bits, "Not Update!" shows the low 16.
V1 = 0x00010102
V2 = 0x00010203
V3 = 0x00010304
V4 = 0x00010405
# Security counters: the suite's older images share counter 0, so no floor
# rises until V4 (counter 2) is installed.
V4_COUNTER = 2

USAGE = [
    "Usage:",
    '  Edit "OrvUpdateComponent\\OrvUpdateSettings.ini" for images,',
    "         See ini for detail about updating single image",
    "         And the tap commands for select chip to do update",
    "Command: ",
    "  OrvUpdate.efi <id (0:chip0, 1:chip1...)> <para1> <para2>...",
    "Para and Example: ",
    '  "OrvUpdate.efi 0 1"        update chip0&chip1 using settings file defined image',
    '  "OrvUpdate.efi -a"         update all chips',
    '  "OrvUpdate.efi 2 -f"       update chip2 ignore verision',
    '  "OrvUpdate.efi 2 -o a.hex" update with a.hex as OCM image',
    '  "OrvUpdate.efi 2 -c b.hex" update with b.hex as customer zone image',
    '  "OrvUpdate.efi 2 -cb"      update including customer define backup zone',
    '  "OrvUpdate.efi -d addr"    specify the IC with addr to update (.nsh function)',
    "",
]
READ_RULE = [
    "Read 1 IC at a time!",
    '  "OrvUpdate.efi 1 -r 0 10> out.txt" read chip1 addr 0 len 10 data to out.txt',
]
TARGET = "Current target: SimBoard"


def settings_text(ocm="ocm.hex", customer="cust.hex", flash="OrvFlashSim.efi", extra=""):
    return ("; settings of the end-to-end suite\n"
            "[default]\n"
            "target = SimBoard\n"
            "\n"
            "[SimBoard]\n"
            "ImageParser = OrvHexImage.efi\n"
            "FlashInterface = %s\n"
            "DevicePath = OrvPathSim.efi\n"
            "OCM = %s\n"
            "customer = %s\n"
            "%s" % (flash, ocm, customer, extra))


def flashsim_ini(seeds="", timing="Timing = off\n"):
    """The flash simulator's configuration of the suite's board: two ICs on
    section 0 with the V1 image in OCM bank 0 and the demo public key
    provisioned; seeds are further seed lines given to both ICs, timing the
    timing lines."""
    ics = "".join("\n[Ic%d]\nAddress = 0x%X\nActiveSection = 0\n"
                  "Ocm0Seed = OrvSim\\ocm_v1.hex\nPublicKey = OrvSim\\demo.pub.pem\n%s"
                  % (ic, 0x20 + ic, seeds) for ic in (0, 1))
    return ("[FlashSim]\nIcCount = 2\nOcmBankSize = %d\nCustomerBankSize = %d\n%s"
            "SectorSize = %d\nPageSize = %d\n"
            % (OCM_BANK, CUST_BANK, timing, SECTOR_SIZE, PAGE_SIZE)) + ics


FLASHSIM_INI = flashsim_ini()

FAULTS = {
    "f_erase0.ini": "EraseBank Ic=0 Zone=ocm Status=DEVICE_ERROR\n",
    "f_corrupt1.ini": "CorruptRead Ic=1 Zone=ocm Offset=0x100\n",
    "f_icinit.ini": "IcInit Status=DEVICE_ERROR\n",
    "f_pathinit.ini": "PathInit Status=NOT_READY\n",
    "f_check1.ini": "CheckZero Ic=1 Zone=customer\n",
    "f_check0.ini": "CheckZero Ic=0 Zone=ocm\n",
    "f_corruptall1.ini": "CorruptRead Ic=1 Offset=0x100\n",
    # A flash component that breaks its contract in three ways.
    "f_misbehave.ini": "LockIgnored\nCheckGood Zone=ocm\nRunningWritable\n",
}


class Fixture:
    """Host-side files every boot's volume is filled from."""

    def __init__(self, build, workdir):
        self.build = build
        self.workdir = workdir
        self.files = os.path.join(workdir, "files")
        os.makedirs(self.files, exist_ok=True)
        self.app = os.path.join(build, "OrvUpdate.efi")
        self.info_app = os.path.join(build, "OrvInfo.efi")
        self.check_app = os.path.join(build, "OrvCheck.efi")
        self.drivers = {d: os.path.join(build, "OrvSimPkg", d) for d in DRIVERS}
        self.orvhex = os.path.join(build, "tools", "orvhex", "orvhex")
        self.sim_cut = os.path.join(build, "tests", "orv_sim_cut")
        self.orvstick = os.path.join(build, "tools", "orvstick", "orvstick")

        self.ocm_v1 = images.image(V1, images.payload(1, 6000))
        self.ocm_v2 = images.image(V2, images.payload(2, 6000))
        self.ocm_v3 = images.image(V3, images.payload(3, 7000))
        self.ocm_v4 = images.image(V4, images.payload(4, 6500))
        self.cust_a = images.image(0xA, images.payload(10, 1000))
        self.cust_b = images.image(0xB, images.payload(11, 1200))
        self.hex = {}

    def missing(self):
        need = [self.app, self.info_app, self.check_app, self.orvhex, self.sim_cut,
                self.orvstick] + list(self.drivers.values())
        return [p for p in need if not os.path.isfile(p)]

    def _orvhex(self, *args):
        proc = subprocess.run([self.orvhex] + list(args), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
        if proc.returncode != 0:
            raise orvqemu.E2EError("orvhex %s failed: %s"
                                   % (" ".join(args), proc.stderr.decode(errors="replace").strip()))

    def make_hex(self, name, img, counter=0):
        """Writes the image's payload as a bin file and lets orvhex make the
        HEX file, signed with the demo key, so the suite runs the same tool
        chain as a user. Returns the signed image, checked here: the header,
        payload and protected area are the ones meant, and openssl verifies
        the signature."""
        version = images.header(img)[2]
        bin_path = os.path.join(self.files, name + ".payload.bin")
        out = os.path.join(self.files, name)
        with open(bin_path, "wb") as f:
            f.write(img[images.HEADER_SIZE:])
        self._orvhex("make", "--version", "0x%X" % version, "--security-counter", str(counter),
                     "--key", images.DEMO_KEY, bin_path, out)
        back = out + ".image.bin"
        self._orvhex("bin", "--with-header", out, back)
        with open(back, "rb") as f:
            made = f.read()
        meant = bytearray(images.signed(img, counter))
        meant[21] = 1
        if made[:len(meant)] != bytes(meant) or len(made) != len(meant) + images.BLOCK_SIZE:
            raise orvqemu.E2EError("orvhex make %s: not the image meant" % name)
        der_length = struct.unpack("<H", made[len(meant) + 2:len(meant) + 4])[0]
        with open(back + ".msg", "wb") as f:
            f.write(made[:len(meant)])
        with open(back + ".sig", "wb") as f:
            f.write(made[len(meant) + 36:len(meant) + 36 + der_length])
        proc = subprocess.run(["openssl", "dgst", "-sha256", "-verify", images.DEMO_PUB,
                               "-signature", back + ".sig", back + ".msg"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if proc.returncode != 0:
            raise orvqemu.E2EError("orvhex make %s: openssl does not verify its signature" % name)
        self.hex[name] = out
        return made

    def cut_bytes(self, rule, length, unit):
        """Bytes of an erase or write over length bytes in unit-sized steps
        that the flash simulator leaves done at the PowerCut rule: its own
        arithmetic, asked of orv_sim_cut (built from the simulator library)."""
        proc = subprocess.run([self.sim_cut, rule, str(length), str(unit)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if proc.returncode != 0:
            raise orvqemu.E2EError("orv_sim_cut %r failed: %s"
                                   % (rule, proc.stderr.decode(errors="replace").strip()))
        return int(proc.stdout)

    def prepare(self):
        self.ocm_v1 = self.make_hex("ocm_v1.hex", self.ocm_v1)
        self.ocm_v2 = self.make_hex("ocm_v2.hex", self.ocm_v2)
        self.ocm_v3 = self.make_hex("ocm_v3.hex", self.ocm_v3)
        self.ocm_v4 = self.make_hex("ocm_v4.hex", self.ocm_v4, V4_COUNTER)
        self.cust_a = self.make_hex("cust_a.hex", self.cust_a)
        self.cust_b = self.make_hex("cust_b.hex", self.cust_b)
        self.bad = bad_hex_files(self.ocm_v3)
        self.bad.update(bad_signature_files(self.ocm_v4, self.files))

    def volume(self, name, settings=True):
        vol = orvqemu.Volume(os.path.join(self.workdir, name + ".img"))
        vol.put_file(self.app, "OrvUpdate.efi")
        vol.put_file(self.info_app, "OrvInfo.efi")
        vol.put_file(self.check_app, "OrvCheck.efi")
        vol.mkdir(COMP)
        vol.mkdir(SIM)
        vol.mkdir("parked")
        for d, path in self.drivers.items():
            vol.put_file(path, COMP + "/" + d)
        vol.put_file(self.hex["ocm_v2.hex"], COMP + "/ocm.hex")
        vol.put_file(self.hex["cust_a.hex"], COMP + "/cust.hex")
        vol.put_file(self.hex["cust_b.hex"], COMP + "/cust_b.hex")
        vol.put_file(self.hex["ocm_v3.hex"], COMP + "/ocm_v3.hex")
        vol.put_file(self.hex["ocm_v4.hex"], COMP + "/ocm_v4.hex")
        vol.put_file(images.DEMO_PUB, SIM + "/demo.pub.pem")
        for bad_name, (text, _) in self.bad.items():
            vol.put_bytes(text.encode("latin-1"), COMP + "/" + bad_name, self.workdir)
        if settings:
            vol.put_text(settings_text(), COMP + "/OrvUpdateSettings.ini", self.workdir)
        # Settings variants the cases copy into place.
        vol.put_text(settings_text(flash="OrvMissing.efi"), COMP + "/nodrv.ini", self.workdir)
        vol.put_bytes(b"[def]", COMP + "/short.ini", self.workdir)
        vol.put_text("[SimBoard]\nOCM = ocm.hex\n", COMP + "/nodef.ini", self.workdir)
        vol.put_text(settings_text(ocm="bad_sum.hex"), COMP + "/badocm.ini", self.workdir)
        vol.put_text(settings_text(ocm="none"), COMP + "/custonly.ini", self.workdir)
        vol.put_text(settings_text(), COMP + "/good.ini", self.workdir)
        # Cut off in the middle of the customer key.
        vol.put_bytes(settings_text().split("customer =")[0].encode() + b"cust",
                      COMP + "/trunc.ini", self.workdir)
        vol.put_text(settings_text(extra="ForceUpdate = 1\nIncludeCustomerDefineBkp = 1\n"
                                         "ReduceFlashProcessFlag = 1\n"),
                     COMP + "/flags.ini", self.workdir)
        vol.put_file(self.hex["ocm_v1.hex"], SIM + "/ocm_v1.hex")
        vol.put_text(FLASHSIM_INI, SIM + "/FlashSim.ini", self.workdir)
        for fname, text in FAULTS.items():
            vol.put_text(text, SIM + "/" + fname, self.workdir)
        for add_files in BOOT_FILES.get(name, ()):
            add_files(self, vol)
        return vol


def bad_hex_files(img):
    """Broken HEX files of a valid image: {name: (text, expected parser line)}.
    The expected line has "{path}" where the path as given to the parser goes."""
    recs = images.hex_records(img)       # line 1: 04 record, line 2 on: data
    eof = images.EOF_RECORD
    files = {}

    lines = list(recs)
    rec = lines[2]
    lines[2] = rec[:-2] + "%02X" % ((int(rec[-2:], 16) + 1) & 0xFF)
    files["bad_sum.hex"] = (lines + [eof], "HexImage: {path} line 3: bad checksum")

    lines = list(recs)
    lines[2], lines[3] = lines[3], lines[2]
    files["bad_order.hex"] = (lines + [eof],
                              "HexImage: {path} line 4: address goes backwards or overlaps")

    files["bad_noeof.hex"] = (list(recs), "HexImage: {path}: missing end-of-file record")

    lines = list(recs)
    lines[4] = lines[4][:15] + "G" + lines[4][16:]
    files["bad_char.hex"] = (lines + [eof], "HexImage: {path} line 5: non-hex character")

    # One payload byte changed, records still well-formed: only the image
    # header's CRC can tell.
    tampered = bytearray(img)
    tampered[images.HEADER_SIZE + 100] ^= 0x40
    files["bad_crc.hex"] = (images.hex_records(bytes(tampered)) + [eof],
                            "HexImage: {path}: image payload checksum mismatch")

    files["bad_text.hex"] = (["this is not a HEX file"],
                             "HexImage: {path} line 1: line does not start with ':'")
    return {k: ("\r\n".join(v[0]) + "\r\n", v[1]) for k, v in files.items()}


def bad_signature_files(img, folder):
    """HEX files of a signed image that only the signature check refuses:
    {name: (text, expected parser line)}, as bad_hex_files."""
    length = images.header(img)[1]
    block = images.HEADER_SIZE + length + images.PROTECTED_SIZE
    tampered = bytearray(img)
    tampered[images.HEADER_SIZE + 100] ^= 0x40           # the CRC repaired below
    truncated = bytearray(img)
    truncated[block + 2] -= 1                          # DER length one short
    other_key = os.path.join(folder, "other-key.pem")
    other_pub = os.path.join(folder, "other-key.pub.pem")
    if not os.path.exists(other_pub):
        for argv in (["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out",
                      other_key], ["openssl", "pkey", "-in", other_key, "-pubout", "-out", other_pub]):
            subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    unsigned = images.signed(img[:images.HEADER_SIZE + length], V4_COUNTER)
    files = {
        "sig_tampered.hex": (images.with_crc_repaired(bytes(tampered)), "signature does not verify"),
        "sig_unsigned.hex": (unsigned, "image is not signed"),
        "sig_otherkey.hex": (images.signed(img[:images.HEADER_SIZE + length], V4_COUNTER,
                                           other_key, other_pub), "signed by an unknown key"),
        "sig_truncated.hex": (bytes(truncated), "damaged signature block"),
    }
    return {name: ("\r\n".join(images.hex_records(data) + [images.EOF_RECORD]) + "\r\n",
                   "HexImage: {path}: " + reason) for name, (data, reason) in files.items()}


def floors(**expected):
    """A check of the ICs' security floors as a run left them (ic0=2, ...)."""
    def check(ctx):
        problems = []
        for name, want in sorted(expected.items()):
            got = images.floor_of(ctx.snap("Ic%sFloor.bin" % name[2:]))
            if got != want:
                problems.append("IC %s floor is %d, expected %d" % (name[2:], got, want))
        return problems
    return check


# ---------------------------------------------------------------- flash checks

ANY = object()
ERASED = None
CONFIG_ACTIVE = "0"


def bank_files(ics=(0, 1)):
    out = []
    for ic in ics:
        for kind in ("Ocm0", "Ocm1", "Cust0", "Cust1", "Floor"):
            out.append("%s\\Ic%d%s.bin" % (SIM, ic, kind))
        out.append("%s\\Ic%dActive.txt" % (SIM, ic))
    return out


def flash(ic, active=ANY, ocm0=ANY, ocm1=ANY, cust0=ANY, cust1=ANY):
    """A check of one IC's flash as a run left it: the active section and
    each bank as an image (padded with FF), ERASED or ANY."""
    def check(ctx):
        problems = []
        if active is not ANY:
            # Without a state file the IC runs the section its configuration
            # gives (both ICs: 0); the file appears at the first switch.
            text = ctx.snap("Ic%dActive.txt" % ic)
            got = CONFIG_ACTIVE if text is None else text.decode(errors="replace").strip()
            if got != str(active):
                problems.append("IC %d active section is %s, expected %s" % (ic, got, active))
        for kind, want, size in (("Ocm0", ocm0, OCM_BANK), ("Ocm1", ocm1, OCM_BANK),
                                 ("Cust0", cust0, CUST_BANK), ("Cust1", cust1, CUST_BANK)):
            if want is ANY:
                continue
            got = ctx.snap("Ic%d%s.bin" % (ic, kind))
            expected = images.erased(size) if want is ERASED else images.bank(want, size)
            if got is None:
                problems.append("IC %d bank file %s missing" % (ic, kind))
            elif got != expected:
                problems.append("IC %d %s: %s" % (ic, kind, describe_bank(got, expected)))
        return problems
    return check


def describe_bank(got, expected):
    if len(got) != len(expected):
        return "size %d, expected %d" % (len(got), len(expected))
    first = next(i for i in range(len(got)) if got[i] != expected[i])
    h = images.header(got)
    what = "erased" if got == images.erased(len(got)) else \
        ("image version %X" % h[2] if h and h[0] == images.MAGIC else "no image")
    return "differs from the expected contents at offset 0x%X (bank holds: %s)" % (first, what)


def unchanged_since(other_case):
    """The flash files are byte for byte as another case left them."""
    def check(ctx):
        problems = []
        for path in bank_files():
            name = path.split("\\")[-1]
            before = ctx.volume.get("snap/%s/%s" % (other_case, name))
            after = ctx.snap(name)
            if before != after:
                problems.append("%s changed since case %s" % (name, other_case))
        return problems
    return check


# --------------------------------------------------------------------- cases

def load_error(status, *first):
    """The settings failure tail: the step's own lines, then the two lines
    every failing settings sequence ends with."""
    return list(first) + ["OrvInitialSettings error %s" % low32(status),
                          "Load settings error, %s" % low32(status)]


def cli_cases(fx):
    """No driver loaded yet in this boot, no settings file at first."""
    long_name = "x" * 65
    cases = [
        Case("usage", "OrvUpdate.efi",
             [BANNER] + USAGE + load_error(EFI_NOT_FOUND, "Open settings file error E"),
             EFI_NOT_FOUND),
        Case("nosettings", "OrvUpdate.efi 0 1",
             [BANNER] + load_error(EFI_NOT_FOUND, "Open settings file error E"),
             EFI_NOT_FOUND),
        Case("badindex", "OrvUpdate.efi 12",
             [BANNER, "Invalid chip index 12: expected one digit 0-9"], EFI_INVALID_PARAMETER),
        Case("dnovalue", "OrvUpdate.efi -d",
             [BANNER, "Option -d needs a value"], EFI_INVALID_PARAMETER),
        Case("dbad", "OrvUpdate.efi -d zz",
             [BANNER, "Invalid -d address zz: expected 1 or 2 hex digits, not 0"],
             EFI_INVALID_PARAMETER),
        Case("dzero", "OrvUpdate.efi -d 0",
             [BANNER, "Invalid -d address 0: expected 1 or 2 hex digits, not 0"],
             EFI_INVALID_PARAMETER),
        Case("olong", "OrvUpdate.efi 0 -o " + long_name,
             [BANNER, "Argument %s is too long: at most 64 characters" % long_name],
             EFI_INVALID_PARAMETER),
        Case("ronly", "OrvUpdate.efi 1 -r 0",
             [BANNER, "-r read process need set addr and length!"], EFI_INVALID_PARAMETER),
        Case("rnochip", "OrvUpdate.efi -r 0 10",
             [BANNER] + READ_RULE, EFI_INVALID_PARAMETER),
        Case("rtwochips", "OrvUpdate.efi 0 1 -r 0 10",
             [BANNER] + READ_RULE, EFI_INVALID_PARAMETER),
        Case("shortsettings", "OrvUpdate.efi 0",
             [BANNER] + load_error(EFI_BAD_BUFFER_SIZE, "Get settings file info error 0"),
             EFI_BAD_BUFFER_SIZE,
             setup=["cp -q %s\\short.ini %s\\OrvUpdateSettings.ini" % (COMP, COMP)]),
        Case("nodefault", "OrvUpdate.efi 0",
             [BANNER] + load_error(EFI_NOT_FOUND, "Default target section string not found"),
             EFI_NOT_FOUND,
             setup=["cp -q %s\\nodef.ini %s\\OrvUpdateSettings.ini" % (COMP, COMP)]),
        # The flash driver named by the settings is not on the volume: the
        # image parser is loaded, the flash component is not.
        Case("nodriver", "OrvUpdate.efi 0 1",
             [BANNER, TARGET,
              Re(r"Component OrvUpdateComponent\\OrvMissing\.efi not found! Path "
                 r"\S*OrvUpdateComponent\\OrvMissing\.efi ")]
             + load_error(EFI_NOT_FOUND,
                          "LocateHandleBuffer gOrvFlashProtocolGuid after load ERROR E"),
             EFI_NOT_FOUND,
             setup=["cp -q %s\\nodrv.ini %s\\OrvUpdateSettings.ini" % (COMP, COMP)],
             snapshot=bank_files(), checks=[no_flash_files]),
    ]
    return cases


def no_flash_files(ctx):
    """The flash simulator was never started: no bank file may exist."""
    present = [p for p in bank_files() if ctx.snap(p.split("\\")[-1]) is not None]
    return ["flash files exist although the simulator never ran: %s" % ", ".join(present)] \
        if present else []


def ic_lines(ic, section, chip_ver, image_ver=None, target=None, force=False,
             new_ver=None, customer=True, backup=False):
    """Console lines of one IC's update."""
    out = ["IC %X, current section %X, ver %X" % (ic, section, chip_ver)]
    if target is None:
        out.append("Not Update! Image Ver %X" % (image_ver & 0xFFFF))
    else:
        if force:
            out.append("Force Update Is set, Ignore veriosn!!")
        out.append("Start Update Chip %d OCM section %X" % (ic, target))
        out.append("IC %X update success,runing section %X, ver %X" % (ic, target, new_ver))
    if customer:
        out.append("Start Update Chip %d Customer Zone!" % ic)
        if backup:
            out.append("include customer backup is set, Updating")
    return out


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
             checks=[flash(0, active=1, ocm0=fx.ocm_v1, ocm1=fx.ocm_v2, cust0=fx.cust_a,
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


def downgrade_lines(ic, section, chip_ver):
    """A forced update to a validly signed image below the IC's floor: the
    chip's check refuses the bank and the IC stays on its section."""
    return ["IC %X, current section %X, ver %X" % (ic, section, chip_ver),
            "Force Update Is set, Ignore veriosn!!",
            "Start Update Chip %d OCM section %X" % (ic, 1 - section),
            "HardwareCheckBank Ic %X, check 0, sta 0" % ic,
            "IC %X update OCM error 7, current section %X" % (ic, section),
            "IC %X update error 7" % ic]


def floor_cases(fx):
    """IC 0 runs V2 from section 0 (counter 0). V4 (counter 2) raises its
    floor; V3, validly signed with counter 0, forced with -f, is refused by
    the chip, and the IC stays on V4."""
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
             EFI_DEVICE_ERROR, snapshot=snap,
             checks=[flash(0, active=1, ocm0=fx.ocm_v3, ocm1=fx.ocm_v4), floors(ic0=V4_COUNTER)]),
    ]


def fault_cases(fx):
    """Fresh flash, components loaded by the first case. Faults are switched
    by copying a rule file to OrvSim\\Faults.ini between runs."""
    snap = bank_files()
    faults = "%s\\Faults.ini" % SIM
    v3 = "%s\\ocm_v3.hex" % COMP
    override = "Override OCM zone file, using " + v3

    def use(fault):
        return ["cp -q %s\\%s %s" % (SIM, fault, faults)]

    clear = ["rm -q " + faults]
    return [
        # Erasing IC 0's inactive bank fails: it keeps running section 0 with
        # its old image; IC 1 is still updated and the run reports the failure.
        Case("erasefail", "OrvUpdate.efi 0 1",
             [BANNER, TARGET,
              "IC 0, current section 0, ver %X" % V1,
              "Start Update Chip 0 OCM section 1",
              "EraseBank Ic 0 error 7",
              "IC 0 update OCM error 7, current section 0",
              "IC 0 update error 7"]
             + ic_lines(1, 0, V1, target=1, new_ver=V2),
             EFI_DEVICE_ERROR, setup=use("f_erase0.ini"), snapshot=snap,
             checks=[flash(0, active=0, ocm0=fx.ocm_v1, ocm1=ERASED, cust0=ERASED),
                     flash(1, active=1, ocm0=fx.ocm_v1, ocm1=fx.ocm_v2, cust0=fx.cust_a)]),
        # The read-back of IC 1's new bank differs: the bank is not switched,
        # the running section and its image stay as they were.
        Case("corruptread", "OrvUpdate.efi 1 -o " + v3,
             [BANNER, TARGET, override,
              "IC 1, current section 1, ver %X" % V2,
              "Start Update Chip 1 OCM section 0",
              "image read back compare fail at 100",
              "IC 1 update OCM error 7, current section 1",
              "IC 1 update error 7"],
             EFI_DEVICE_ERROR,
             setup=use("f_corrupt1.ini"), snapshot=snap,
             checks=[flash(1, active=1, ocm0=fx.ocm_v3, ocm1=fx.ocm_v2, cust0=fx.cust_a),
                     flash(0, active=0, ocm0=fx.ocm_v1)]),
        # Faults gone: the same update now succeeds.
        Case("recovered", "OrvUpdate.efi 1 -o " + v3,
             [BANNER, TARGET, override] + ic_lines(1, 1, V2, target=0, new_ver=V3),
             EFI_SUCCESS, setup=clear, snapshot=snap,
             checks=[flash(1, active=0, ocm0=fx.ocm_v3, ocm1=fx.ocm_v2, cust0=fx.cust_a)]),
        # The hardware check of the customer zone leaves the verdict 0.
        Case("checkzero", "OrvUpdate.efi 1",
             [BANNER, TARGET, "IC 1, current section 0, ver %X" % V3,
              "Not Update! Image Ver %X" % (V2 & 0xFFFF),
              "Start Update Chip 1 Customer Zone!",
              "HardwareCheckBank Ic 1, check 0, sta 0",
              "IC 1 update error 7"],
             EFI_DEVICE_ERROR, setup=use("f_check1.ini")),
        # The hardware finds IC 0's new OCM bank bad although every call
        # succeeded: the IC must not be switched to it.
        Case("checkzeroocm", "OrvUpdate.efi 0 -o " + v3,
             [BANNER, TARGET, override,
              "IC 0, current section 0, ver %X" % V1,
              "Start Update Chip 0 OCM section 1",
              "HardwareCheckBank Ic 0, check 0, sta 0",
              "IC 0 update OCM error 7, current section 0",
              "IC 0 update error 7"],
             EFI_DEVICE_ERROR, setup=use("f_check0.ini"), snapshot=snap,
             checks=[flash(0, active=0, ocm0=fx.ocm_v1, ocm1=fx.ocm_v3, cust0=ERASED)]),
        Case("icinitfail", "OrvUpdate.efi 0",
             [BANNER, TARGET, "IC init error 7"], EFI_DEVICE_ERROR,
             setup=clear + use("f_icinit.ini"), snapshot=snap,
             checks=[unchanged_since("checkzeroocm")]),
    ] + [
        # Each run that ends at IcInit releases its two images: the image
        # parser holds 8, so without that the fifth run would fail to load.
        Case("icinitfail%d" % n, "OrvUpdate.efi 0",
             [BANNER, TARGET, "IC init error 7"], EFI_DEVICE_ERROR)
        for n in range(2, 6)
    ] + [
        Case("aftericinitfails", "OrvUpdate.efi 0",
             [BANNER, TARGET] + ic_lines(0, 0, V1, target=1, new_ver=V2), EFI_SUCCESS,
             setup=clear),
        Case("pathinitfail", "OrvUpdate.efi 0",
             [BANNER, TARGET, "pOrvPathProtocolInterface init ERROR 6"]
             + load_error(EFI_NOT_READY), EFI_NOT_READY,
             setup=clear + use("f_pathinit.ini")),
        # Flags from the settings: forced, customer backup, and bit 0 of the
        # reduce mask, which skips the OCM read-back only. Every read-back of
        # IC 1 is corrupted: the OCM zone goes through, the customer zone is
        # caught and its backup bank is not attempted.
        Case("settingsflags", "OrvUpdate.efi 1",
             [BANNER, TARGET, "IC 1, current section 0, ver %X" % V3,
              "Force Update Is set, Ignore veriosn!!",
              "Start Update Chip 1 OCM section 1",
              "IC 1 update success,runing section 1, ver %X" % V2,
              "Start Update Chip 1 Customer Zone!",
              "image read back compare fail at 100",
              "IC 1 update error 7"],
             EFI_DEVICE_ERROR,
             setup=["cp -q %s\\flags.ini %s\\OrvUpdateSettings.ini" % (COMP, COMP)]
             + use("f_corruptall1.ini"), snapshot=snap,
             checks=[flash(1, active=1, ocm0=fx.ocm_v3, ocm1=fx.ocm_v2, cust1=ERASED)]),
        Case("settingsflagsclean", "OrvUpdate.efi 1",
             [BANNER, TARGET]
             + ic_lines(1, 1, V2, target=0, force=True, new_ver=V2, backup=True),
             EFI_SUCCESS, setup=clear, snapshot=snap,
             checks=[flash(1, active=0, ocm0=fx.ocm_v2, ocm1=fx.ocm_v2, cust0=fx.cust_a,
                           cust1=fx.cust_a)]),
    ]


INFO_BANNER = "OrvInfo tool version 00.01.0002"


def info_line(ic, section, ver0, ver1, image, ocm, customer="bank0", verify=None):
    """One IC's line of OrvInfo.efi; verify is (vocm, vcust0, vcust1) with -v."""
    line = ("ic=%X addr=%02X section=%s ver0=%X ver1=%X image=%s ocm=%s customer=%s"
            % (ic, 0x20 + ic, section, ver0, ver1, image, ocm, customer))
    if verify is not None:
        line += " vocm=%s vcust0=%s vcust1=%s" % verify
    return line


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
             head + [plan0 + " vocm=diff@8 vcust0=diff@0 vcust1=-"], EFI_CRC_ERROR),
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
             head + check_lines(CHECK_READ_IDS + CHECK_WRITE_IDS)
             + ["34 passed, 0 failed, 0 skipped"],
             EFI_SUCCESS, snapshot=snap, checks=[unchanged_since("check_read")]),
        Case("check_misbehave", "OrvCheck.efi 0 -w",
             head + check_lines(CHECK_READ_IDS + no_write, ics=(0,), failed=misbehaving)
             + ["13 passed, 4 failed, 0 skipped"],
             EFI_PROTOCOL_ERROR,
             setup=["cp -q %s\\f_misbehave.ini %s\\Faults.ini" % (SIM, SIM)],
             snapshot=snap, checks=[unchanged_since("check_read")]),
    ]


# Every operation of the update failing once on IC 0, which runs section 0
# with V1 and is offered V3. Faults fail with EFI_TIMEOUT (printed 12) so the
# lines show whose status is reported. (operation, rule, lines after the
# override line)
BEFORE_START = ["IC 0, current section 0, ver %X" % V1, "Start Update Chip 0 OCM section 1"]
BANK_FAILED = ["IC 0 update OCM error 7, current section 0", "IC 0 update error 7"]
MATRIX = [
    ("GetActiveSection", "GetActiveSection Ic=0",
     ["Get IC 0 active section error 12", "IC 0 update error 7"]),
    ("GetIcVersion", "GetIcVersion Ic=0 Call=1",
     ["Get IC 0 ver error 12", "IC 0 update error 7"]),
    ("GetImageVersion", "GetImageVersion",
     ["Get OCMFile ver error 12", "IC 0 update error 7"]),
    ("GetImageData", "GetImageData",
     BEFORE_START + ["Get OCMFile data error 12", "IC 0 update error 7"]),
    ("FlashPreOperation", "FlashPreOperation Ic=0",
     BEFORE_START + ["FlashPreOperation Ic 0 error 12",
                     "IC 0 update OCM error 12, current section 0", "IC 0 update error 7"]),
    ("UnlockFlash", "UnlockFlash Ic=0", BEFORE_START + ["UnlockFlash Ic 0 error 12"] + BANK_FAILED),
    ("EraseBank", "EraseBank Ic=0", BEFORE_START + ["EraseBank Ic 0 error 12"] + BANK_FAILED),
    ("WriteBankData", "WriteBankData Ic=0",
     BEFORE_START + ["WriteBankData Ic 0 error 12"] + BANK_FAILED),
    ("lockFlash", "lockFlash Ic=0", BEFORE_START + ["lockFlash Ic 0 error 12"] + BANK_FAILED),
    ("FlashPostOperation", "FlashPostOperation Ic=0",
     BEFORE_START + ["FlashPostOperation Ic 0 error 12"] + BANK_FAILED),
    ("HardwareCheckBank", "HardwareCheckBank Ic=0",
     BEFORE_START + ["HardwareCheckBank Ic 0, check 0, sta 12"] + BANK_FAILED),
    ("SetActiveBank", "SetActiveBank Ic=0",
     BEFORE_START + ["SetActiveBank Ic 0 error 12"] + BANK_FAILED),
]


def matrix_cases(fx):
    """Fresh flash. Each failing operation must leave IC 0 running section 0
    with its old image; the two operations that fail after the switch come
    last."""
    snap = bank_files([0])
    faults = "%s\\Faults.ini" % SIM
    v3 = "%s\\ocm_v3.hex" % COMP
    head = [BANNER, TARGET, "Override OCM zone file, using " + v3]
    cases = []
    for op, _, lines in MATRIX:
        cases.append(Case(
            "fail_" + op, "OrvUpdate.efi 0 -o " + v3, head + lines, EFI_DEVICE_ERROR,
            setup=["cp -q %s\\m_%s.ini %s" % (SIM, op, faults)], snapshot=snap,
            checks=[flash(0, active=0, ocm0=fx.ocm_v1)]))
    cases += [
        # The version read after a successful switch fails: the switch stands
        # and the line shows version 0.
        Case("fail_GetIcVersionAfterSwitch", "OrvUpdate.efi 0 -o " + v3,
             head + BEFORE_START[:1] + ["Start Update Chip 0 OCM section 1",
                                        "IC 0 update success,runing section 1, ver 0",
                                        "Start Update Chip 0 Customer Zone!"],
             EFI_SUCCESS, setup=["cp -q %s\\m_version2.ini %s" % (SIM, faults)],
             snapshot=snap,
             checks=[flash(0, active=1, ocm0=fx.ocm_v1, ocm1=fx.ocm_v3, cust0=fx.cust_a)]),
        # Closing the pass fails after the switch: the status is reported,
        # and the flash keeps what was done (new bank written and active).
        Case("fail_ICPostOperation", "OrvUpdate.efi 0 -f -o " + v3,
             head + ["IC 0, current section 1, ver %X" % V3,
                     "Force Update Is set, Ignore veriosn!!",
                     "Start Update Chip 0 OCM section 0",
                     "IC 0 update success,runing section 0, ver %X" % V3,
                     "ICPostOperation IC 0 error 12",
                     "IC 0 update OCM error 12, current section 1",
                     "IC 0 update error 7"],
             EFI_DEVICE_ERROR, setup=["cp -q %s\\m_post.ini %s" % (SIM, faults)],
             snapshot=snap,
             checks=[flash(0, active=0, ocm0=fx.ocm_v3, ocm1=fx.ocm_v3, cust0=fx.cust_a)]),
    ]
    return cases


for _op, _rule, _ in MATRIX:
    FAULTS["m_%s.ini" % _op] = _rule + " Status=TIMEOUT\n"
FAULTS["m_version2.ini"] = "GetIcVersion Ic=0 Call=2 Status=TIMEOUT\n"
FAULTS["m_post.ini"] = "ICPostOperation Ic=0 Call=1 Status=TIMEOUT\n"


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


def file_lines(name, lines):
    """A snapshot file holds exactly these lines (CR LF ends)."""
    def check(ctx):
        data = ctx.snap(name)
        if data is None:
            return ["%s was not written" % name]
        got = data.decode(errors="replace").split("\r\n")
        got = got[:-1] if got and got[-1] == "" else got
        return [] if got == lines else ["%s differs:" % name] + compare_lines(lines, got)
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


BOOTS = [
    ("cli", False, cli_cases),
    ("update", True, update_cases),
    ("faults", True, fault_cases),
    ("matrix", True, matrix_cases),
    ("info", True, info_cases),
    ("hexinterop", True, hex_interop_cases.interop_cases),
    ("progress", True, progress_cases),
]

# Files some boots need on their volume besides the common ones.
BOOT_FILES = {
    "hexinterop": [hex_interop_cases.add_files],
    "progress": [lambda fx, vol: vol.put_text(PROGRESS_FLASHSIM_INI, SIM + "/FlashSim.ini",
                                              fx.workdir)],
}


def select(boots, names, fx, sequences=()):
    """The jobs to run for E2E_ONLY/E2E_BOOTS names. A boot job is (name,
    with_settings, cases, report), where report is None (every case) or the
    set of selected case ids: a case runs after the earlier cases of its
    boot, which set up the state it builds on. A sequence job (several boots
    on one disk, such as a power cut and its recovery) is (name, None,
    function, None). Raises ValueError for an unknown name."""
    plan = []
    known = set()
    for name, run_sequence in sequences:
        known.add(name)
        if not names or name in names:
            plan.append((name, None, run_sequence, None))
    for name, with_settings, make_cases in boots:
        cases = make_cases(fx)
        known.add(name)
        known.update(c.id for c in cases)
        if not names or name in names:
            plan.append((name, with_settings, cases, None))
            continue
        picked = [i for i, c in enumerate(cases) if c.id in names]
        if picked:
            plan.append((name, with_settings, cases[:picked[-1] + 1],
                         {cases[i].id for i in picked}))
    unknown = sorted(set(names) - known)
    if unknown:
        raise ValueError("no boot or case named %s" % ", ".join(unknown))
    return plan


def jobs_wanted():
    """How many boots run side by side: E2E_JOBS, or one per core, at most 2
    (two TCG guests keep two cores busy)."""
    value = os.environ.get("E2E_JOBS")
    if value:
        if not value.isdigit() or int(value) < 1:
            raise ValueError("E2E_JOBS=%s is not a positive number" % value)
        return int(value)
    return max(1, min(2, os.cpu_count() or 1))


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
            + downgrade_lines(0, 1, V4) + downgrade_lines(1, 1, V4), EFI_DEVICE_ERROR,
            snapshot=bank_files(),
            checks=[flash(ic, active=1, ocm1=fx.ocm_v4) for ic in (0, 1)]
            + [floors(ic0=V4_COUNTER, ic1=V4_COUNTER)])]),
]


# ------------------------------------------------------------ line station
#
# orvstick make lays out a FAT image from a manifest, with the line-station
# startup.nsh that runs at boot: list, update, verify, each step's output
# appended to a new log file in OrvLog\, a PASS or FAIL line last. A second
# boot of the same image, its OCM image now broken as on a damaged stick,
# must stop at the first step with a FAIL line and keep the first run's log.

STATION_PASS = "*** PASS: list, update, verify (log OrvLog\\run000.log) ***"
STATION_FAIL = "*** FAIL: step list, status 0xA (log OrvLog\\run001.log) ***"


def station_manifest(fx, folder):
    """Writes the manifest (and the simulator's configuration it names) and
    returns its path."""
    sim_ini = os.path.join(folder, "FlashSim.ini")
    with open(sim_ini, "w", newline="\r\n") as f:
        f.write(FLASHSIM_INI)
    # The image parser is built with the demo key: make's check takes the
    # zone images only when they are signed by it.
    files = (images.DEMO_PUB, fx.app, fx.info_app) + tuple(fx.drivers[d] for d in DRIVERS) + \
        (fx.hex["ocm_v2.hex"], fx.hex["cust_a.hex"], sim_ini, fx.hex["ocm_v1.hex"],
         images.DEMO_PUB)
    text = ('target = "SimBoard"\ntrusted_keys = [%s]\n'
            "[applications]\nOrvUpdate = %s\nOrvInfo = %s\n"
            "[components]\nImageParser = %s\nFlashInterface = %s\nDevicePath = %s\n"
            "[images]\nOCM = %s\ncustomer = %s\n"
            '[station]\narguments = ["-a"]\nfinish = "shutdown"\n'
            "[files]\n'OrvSim\\FlashSim.ini' = %s\n'OrvSim\\ocm_v1.hex' = %s\n"
            "'OrvSim\\demo.pub.pem' = %s\n"
            % tuple(json.dumps(path) for path in files))
    manifest = os.path.join(folder, "station.toml")
    with open(manifest, "w") as f:
        f.write(text)
    return manifest


def station_last_line(result):
    lines = [l for l in result.text.split("\n") if l.startswith("*** ")]
    return lines[-1] if lines else None


def station_pass_log():
    info = [INFO_BANNER, TARGET, "ics=2"]
    before = [info_line(ic, 0, V1, 0, "%X" % V2, "newer:bank1") for ic in (0, 1)]
    after = [info_line(ic, 1, V1, V2, "%X" % V2, "current", verify=("match", "match", "-"))
             for ic in (0, 1)]
    update = [BANNER, TARGET] + ic_lines(0, 0, V1, target=1, new_ver=V2) + \
        ic_lines(1, 0, V1, target=1, new_ver=V2)
    return (["== OrvStation run 000: log OrvLog\\run000.log", "== list: OrvInfo.efi -a"]
            + info + before + ["", "== list: status 0x0", "== update: OrvUpdate.efi -a"]
            + update + ["", "== update: status 0x0", "== verify: OrvInfo.efi -v -a"]
            + info + after + ["", "== verify: status 0x0", STATION_PASS])


def station_fail_log(fx):
    return (["== OrvStation run 001: log OrvLog\\run001.log", "== list: OrvInfo.efi -a",
             INFO_BANNER, TARGET,
             fx.bad["bad_crc.hex"][1].format(path=COMP + "\\ocm_v2.hex"),
             "Load OCM Image error, A"] + load_error(EFI_VOLUME_CORRUPTED)
            + ["", "== list: status 0xA", STATION_FAIL])


def log_lines(volume, path):
    data = volume.get(path)
    if data is None:
        return None
    lines = data.decode(errors="replace").split("\r\n")
    return lines[:-1] if lines and lines[-1] == "" else lines


def station_boot(suite, volume, name, last_line, log_path, expected_log):
    """Boots the volume with its own startup.nsh; failure texts."""
    result = orvqemu.boot_volume(volume, suite.workdir, timeout=suite.timeout,
                                 log_name="console-%s.log" % name)
    with suite._lock:
        suite.boot_seconds += result.seconds
    problems = []
    if result.stop_reason is not None:
        problems.append("boot %s: %s; console ends with:" % (name, result.stop_reason))
        problems += ["| " + l for l in result.tail()]
        return problems
    if station_last_line(result) != last_line:
        problems.append("the station's last line is %r, expected %r"
                        % (station_last_line(result), last_line))
    log = log_lines(volume, log_path)
    if log is None:
        problems.append("no log file %s on the volume" % log_path)
    elif log != expected_log:
        problems += ["%s differs:" % log_path] + compare_lines(expected_log, log)
    return problems


def station_sequence(suite, fx):
    folder = os.path.join(fx.workdir, "station")
    os.makedirs(folder, exist_ok=True)
    image = os.path.join(folder, "station.img")
    if os.path.exists(image):
        os.remove(image)
    manifest = station_manifest(fx, folder)
    make = subprocess.run([fx.orvstick, "make", manifest, image],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = []
    cases = []
    make_text = make.stdout.decode(errors="replace")
    signed = make_text.count(", signature verifies\n") == 2  # both zone images, by the demo key
    # The two warnings: the parser is built with the demo key, the ICs hold it.
    problems = [] if make.returncode == 0 and "\nresult: ok, 2 warnings\n" in make_text and signed else \
        ["orvstick make exited %d:" % make.returncode] + ["| " + l for l in make_text.splitlines()]
    volume = orvqemu.Volume(image, existing=True)
    if not problems:
        problems = station_boot(suite, volume, "station_pass", STATION_PASS,
                                "OrvLog/run000.log", station_pass_log())
        for ic in (0, 1):
            if pc_active(volume, ic) != "1" or \
                    volume.get("%s/Ic%dOcm1.bin" % (SIM, ic)) != images.bank(fx.ocm_v2, OCM_BANK):
                problems.append("IC %d does not run the new image from section 1" % ic)
        if volume.get("OrvLog/step.txt") is not None:
            problems.append("the station script left its step file OrvLog\\step.txt")
    cases.append((Case("station_pass", "orvstick make, boot: startup.nsh", [], EFI_SUCCESS),
                  problems))

    # The OCM image broken on the stick: the first step fails, nothing is
    # programmed, the first run's log stays.
    problems = []
    if cases[0][1]:
        problems.append("not run: the first boot failed")
    else:
        first_log = volume.get("OrvLog/run000.log")
        banks = {p: volume.get(p.replace("\\", "/")) for p in bank_files()}
        volume.put_bytes(fx.bad["bad_crc.hex"][0].encode("latin-1"), COMP + "/ocm_v2.hex",
                         fx.workdir)
        problems = station_boot(suite, volume, "station_fail", STATION_FAIL,
                                "OrvLog/run001.log", station_fail_log(fx))
        if volume.get("OrvLog/run000.log") != first_log:
            problems.append("the first run's log OrvLog\\run000.log changed")
        changed = [p for p, data in banks.items() if volume.get(p.replace("\\", "/")) != data]
        if changed:
            problems.append("the failed run changed the flash: %s" % ", ".join(changed))
    cases.append((Case("station_fail", "broken ocm_v2.hex, boot: startup.nsh", [], EFI_SUCCESS),
                  problems))

    out.append("-- boots station_pass, station_fail (consoles: %s)"
               % os.path.join(suite.workdir, "console-station_*.log"))
    passed = sum(1 for case, problems in cases if suite._report(case, problems, out))
    with suite._lock:
        suite.runs += len(cases)
        suite.passed += passed
        suite.failed += len(cases) - passed
        print("\n".join(out), flush=True)


SEQUENCES.append(("station", station_sequence))


def main():
    build = os.environ.get("ORV_BUILD_DIR")
    if not build:
        print("e2e: ORV_BUILD_DIR is not set (the build directory holding OrvUpdate.efi)")
        return 2
    build = os.path.abspath(build)
    workdir = os.path.abspath(os.environ.get("E2E_WORKDIR", os.path.join(build, "e2e")))
    timeout = int(os.environ.get("E2E_BOOT_TIMEOUT", "150"))
    names = [n.strip() for n in (os.environ.get("E2E_ONLY", "") + "," +
                                 os.environ.get("E2E_BOOTS", "")).split(",") if n.strip()]
    verbose = "-v" in sys.argv[1:]
    os.makedirs(workdir, exist_ok=True)

    missing = orvqemu.missing_tools()
    if missing:
        print("e2e: missing: %s (run scripts/install-deps.sh)" % ", ".join(missing))
        print("e2e: 0 passed, 1 failed")
        return 1
    fx = Fixture(build, workdir)
    absent = fx.missing()
    if absent:
        print("e2e: build output missing: %s (run scripts/build.sh)" % ", ".join(absent))
        print("e2e: 0 passed, 1 failed")
        return 1

    suite = Suite(workdir, timeout, verbose)
    start = time.monotonic()
    try:
        jobs = jobs_wanted()
        fx.prepare()
        plan = select(BOOTS, names, fx, SEQUENCES)
    except ValueError as exc:
        print("e2e: %s" % exc)
        return 2
    except orvqemu.E2EError as exc:
        print("e2e: %s" % exc)
        print("e2e: 0 passed, 1 failed")
        return 1
    try:
        # Chosen once, before the boots start side by side.
        orvqemu.accelerator(workdir, log=lambda line: print("e2e: " + line))
    except orvqemu.E2EError as exc:
        print("e2e: %s" % exc)
        print("e2e: 0 passed, 1 failed")
        return 1
    sequences = sum(1 for entry in plan if entry[1] is None)
    print("e2e: %d boots and %d sequences of two boots (power cuts, line station), %d at a time"
          % (len(plan) - sequences, sequences, jobs), flush=True)

    def run(entry):
        name, with_settings, cases, report = entry
        try:
            if with_settings is None:
                cases(suite, fx)     # a sequence of boots on one disk
                return
            volume = fx.volume(name, settings=with_settings)
            suite.run_boot(name, volume, cases, report=report)
        except orvqemu.E2EError as exc:
            with suite._lock:
                suite.boot_failures.append("boot %s: %s" % (name, exc))
                if with_settings is None:
                    suite.failed += 1
                else:
                    suite.failed += len(cases) if report is None else len(report)

    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        list(pool.map(run, plan))
    wall = time.monotonic() - start
    for failure in suite.boot_failures:
        print("e2e: " + failure)
    print("e2e: %d runs in QEMU, %.0f s wall time (%.0f s of boots)"
          % (suite.runs, wall, suite.boot_seconds))
    failed = suite.failed
    print("e2e: %d passed, %d failed" % (suite.passed, failed))
    return 0 if failed == 0 and not suite.boot_failures else 1


if __name__ == "__main__":
    sys.exit(main())
