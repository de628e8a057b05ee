"""What every boot of the end-to-end suite is built from: the constants of
the suite's board, the settings and flash simulator configuration, the zone
images (made with orvhex), the Fixture that fills a boot's disk image, the
checks of the simulated flash read back afterwards and the console lines
several areas expect.
"""

import os
import struct
import subprocess

import images
import orvqemu
from harness import compare_lines, low32

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
                  "Ocm0Seed = OrvSim\\ocm_v1.hex\nPublicKey = OrvSim\\demo.pub.pem\nProduct = %s\n%s"
                  % (ic, 0x20 + ic, images.PRODUCT, seeds) for ic in (0, 1))
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

    def __init__(self, build, workdir, faults=None, boot_files=None):
        """faults: {file name: rule text} put into OrvSim\\ of every volume
        (FAULTS and the case modules' own); boot_files: {boot: [add_files(fx,
        vol)]} for boots that need more files."""
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
        self.faults = dict(FAULTS if faults is None else faults)
        self.boot_files = dict(boot_files or {})

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

    def make_hex(self, name, img, counter=0, zone="ocm"):
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
                     "--zone", zone, "--product", images.PRODUCT, "--key", images.DEMO_KEY, bin_path, out)
        back = out + ".image.bin"
        self._orvhex("bin", "--with-header", out, back)
        with open(back, "rb") as f:
            made = f.read()
        meant = bytearray(images.signed(img, counter, zone=zone))
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
        self.cust_a = self.make_hex("cust_a.hex", self.cust_a, zone="customer")
        self.cust_b = self.make_hex("cust_b.hex", self.cust_b, zone="customer")
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
        for fname, text in self.faults.items():
            vol.put_text(text, SIM + "/" + fname, self.workdir)
        for add_files in self.boot_files.get(name, ()):
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


# ------------------------------------------------------- expected console lines

def load_error(status, *first):
    """The settings failure tail: the step's own lines, then the two lines
    every failing settings sequence ends with."""
    return list(first) + ["OrvInitialSettings error %s" % low32(status),
                          "Load settings error, %s" % low32(status)]

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


def downgrade_lines(ic, section, chip_ver, counter=0, floor=V4_COUNTER):
    """A forced update to a validly signed image below the IC's floor: the
    flash policy refuses it before anything is erased, naming counter and
    floor, and the IC stays on its section (EFI_SECURITY_VIOLATION)."""
    return ["IC %X, current section %X, ver %X" % (ic, section, chip_ver),
            "Force Update Is set, Ignore veriosn!!",
            "IC %X OCM image refused: counter %d below floor %d" % (ic, counter, floor),
            "IC %X update error 1A" % ic]


INFO_BANNER = "OrvInfo tool version 00.01.0002"


def info_line(ic, section, ver0, ver1, image, ocm, customer="bank0", verify=None, floor=0):
    """One IC's line of OrvInfo.efi; verify is (vocm, vcust0, vcust1) with -v.
    The suite's ICs hold the demo key, so the flash policy's fields end it."""
    line = ("ic=%X addr=%02X section=%s ver0=%X ver1=%X image=%s ocm=%s customer=%s"
            % (ic, 0x20 + ic, section, ver0, ver1, image, ocm, customer))
    if verify is not None:
        line += " vocm=%s vcust0=%s vcust1=%s" % verify
    return line + " enforces=signature+zone+product+floor floor=%d" % floor


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
