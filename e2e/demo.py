#!/usr/bin/env python3
"""The demo: two simulated ICs updated by OrvUpdate.efi in the UEFI Shell.

Makes a demo volume (the application, its settings, the three reference
drivers, zone images made and signed with orvhex using the demo key, and the
flash of two simulated ICs running version 1.1.2 from section 0, with the
demo public key provisioned in them), boots QEMU and runs:
  1. `OrvUpdate.efi 0 1`: both ICs updated to 1.2.3 (security counter 2);
  2. the same again: both are up to date;
  3. a tampered copy of the image (one payload byte changed, its CRC
     repaired): the image parser refuses it, no IC is touched;
  4. the older image 1.1.2 (validly signed, security counter 1) forced with
     -f: each chip's check refuses it, and both keep running 1.2.3.
Shows the console transcript and a summary per IC read back from the
simulated flash, and exits 0 only when all of that really happened.

Environment: ORV_BUILD_DIR (build directory), DEMO_DIR (output, default
<build>/demo), DEMO_TIMEOUT (seconds for the QEMU boot, default 180).
"""

import os
import re
import subprocess
import sys

# Keep the source tree free of bytecode caches.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import images  # noqa: E402
import orvqemu  # noqa: E402

OLD_VERSION = 0x0000000000010102
NEW_VERSION = 0x0000000000010203
CUSTOMER_VERSION = 0x0000000000000001
OLD_COUNTER = 1
NEW_COUNTER = 2
OCM_BANK = 131072
CUST_BANK = 4096
ICS = (0, 1)

SETTINGS = """; OrvUpdate settings of the demo volume
[default]
target = DemoBoard

[DemoBoard]
ImageParser = OrvHexImage.efi
FlashInterface = OrvFlashSim.efi
DevicePath = OrvPathSim.efi
OCM = ocm.hex
customer = customer.hex
"""

FLASHSIM = """; Two simulated ICs with SPI NOR timing
[FlashSim]
IcCount = 2
OcmBankSize = %d
CustomerBankSize = %d
Timing = on

[Ic0]
Address = 0x50
PublicKey = OrvSim\\demo.pub.pem
Product = %s

[Ic1]
Address = 0x51
PublicKey = OrvSim\\demo.pub.pem
Product = %s
""" % (OCM_BANK, CUST_BANK, images.PRODUCT, images.PRODUCT)
DEMO_PUB_PATH = "OrvSim/demo.pub.pem"


DRIVERS = ("OrvHexImage.efi", "OrvFlashSim.efi", "OrvPathSim.efi")
# The zone images: name, version, payload seed, payload size, security
# counter, zone they are signed for.
ZONE_IMAGES = (("ocm_old", OLD_VERSION, 1, 100000, OLD_COUNTER, "ocm"),
               ("ocm", NEW_VERSION, 2, 100000, NEW_COUNTER, "ocm"),
               ("customer", CUSTOMER_VERSION, 3, 2000, 0, "customer"))
# The signed images make_zone_hex made: {name: bytes}.
_MADE = {}


def fail(message):
    print("demo: FAILED: " + message)
    sys.exit(1)


def orvhex(tool, *args):
    proc = subprocess.run([tool] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if proc.returncode != 0:
        fail("orvhex %s: %s" % (" ".join(args), proc.stderr.decode(errors="replace").strip()))
    return proc.stdout.decode()


def environment(folder, timeout):
    """(build directory, output directory, boot timeout) from ORV_BUILD_DIR,
    DEMO_DIR (default <build>/<folder>) and DEMO_TIMEOUT (default timeout);
    the output directory is made."""
    build = os.path.abspath(os.environ.get("ORV_BUILD_DIR", "build"))
    out = os.path.abspath(os.environ.get("DEMO_DIR", os.path.join(build, folder)))
    os.makedirs(out, exist_ok=True)
    return build, out, int(os.environ.get("DEMO_TIMEOUT", str(timeout)))


def build_outputs(build, apps):
    """(orvhex, [application paths], [driver paths]) of the build; fails
    when one of them is missing."""
    tool = os.path.join(build, "tools", "orvhex", "orvhex")
    app_paths = [os.path.join(build, app) for app in apps]
    drivers = [os.path.join(build, "OrvSimPkg", d) for d in DRIVERS]
    absent = [p for p in [tool] + app_paths + drivers if not os.path.isfile(p)]
    if absent:
        fail("build output missing: %s (run scripts/build.sh)" % ", ".join(absent))
    return tool, app_paths, drivers


def make_zone_hex(tool, out):
    """The zone images as HEX files, made and signed (demo key, with their
    security counters) with the host tool from payload files: {name: path}."""
    files = {}
    for name, version, seed, size, counter, zone in ZONE_IMAGES:
        payload = os.path.join(out, name + ".payload.bin")
        with open(payload, "wb") as f:
            f.write(images.payload(seed, size))
        files[name] = os.path.join(out, name + ".hex")
        orvhex(tool, "make", "--version", "0x%X" % version, "--security-counter", str(counter),
               "--zone", zone, "--product", images.PRODUCT, "--key", images.DEMO_KEY, payload, files[name])
        orvhex(tool, "bin", "--with-header", files[name], files[name] + ".image")
        with open(files[name] + ".image", "rb") as f:
            _MADE[name] = f.read()
    return files


def zone_image(name):
    """The bytes of one of the zone images make_zone_hex made (header,
    payload, protected area and signature block)."""
    return _MADE[name]


def demo_volume(out, app_paths, drivers, hexfiles):
    """The demo volume: the applications at its root, the settings, drivers
    and zone images in OrvUpdateComponent\\, the flash simulator's
    configuration in OrvSim\\ (no bank files yet)."""
    volume = orvqemu.Volume(os.path.join(out, "demo.img"))
    for app in app_paths:
        volume.put_file(app, os.path.basename(app))
    volume.mkdir("OrvUpdateComponent")
    volume.mkdir("OrvSim")
    for path in drivers:
        volume.put_file(path, "OrvUpdateComponent/" + os.path.basename(path))
    volume.put_text(SETTINGS, "OrvUpdateComponent/OrvUpdateSettings.ini", out)
    volume.put_file(hexfiles["ocm"], "OrvUpdateComponent/ocm.hex")
    volume.put_file(hexfiles["customer"], "OrvUpdateComponent/customer.hex")
    volume.put_file(images.DEMO_PUB, DEMO_PUB_PATH)
    volume.put_text(FLASHSIM, "OrvSim/FlashSim.ini", out)
    return volume


def run_in_shell(volume, out, timeout, commands):
    """Boots the volume once and runs commands ([(run id, command line)])
    in the UEFI Shell, one after the other; the boot's result."""
    lines = []
    for run_id, command in commands:
        lines += orvqemu.shell_run(run_id, command)
    return orvqemu.boot(volume, lines, out, timeout=timeout, log_name="console.log")


def print_transcript(result, commands):
    """Each run of commands ([(run id, command line)]) as the shell showed
    it: the command, its console lines and %lasterror%."""
    runs = result.runs()
    print("=" * 30 + " console " + "=" * 30)
    for run_id, command in commands:
        run = runs.get(run_id)
        if run is None:
            continue
        print("FS0:\\> " + command)
        for line in run.lines:
            print(line)
        seconds = result.run_seconds(run_id)
        print("FS0:\\> echo %%lasterror%%    -> %s%s"
              % (run.rc, "" if seconds is None else "    (run took %.1f s)" % seconds))
    print("=" * 69)


def ic_floor(volume, ic):
    return images.floor_of(volume.get("OrvSim/Ic%dFloor.bin" % ic))


def version_text(v):
    return "%d.%d.%d" % ((v >> 16) & 0xFFFF, (v >> 8) & 0xFF, v & 0xFF)


def ic_state(volume, ic):
    """(section, version, image bytes of the active bank) as the simulated
    flash holds them; version None when the bank holds no valid image."""
    active = volume.get("OrvSim/Ic%dActive.txt" % ic)
    if active is None:
        return None, None, None
    section = active.decode(errors="replace").strip()
    if section not in ("0", "1"):
        return section, None, None
    data = volume.get("OrvSim/Ic%dOcm%s.bin" % (ic, section))
    if data is None or not images.is_valid(data):
        return section, None, data
    return section, images.header(data)[2], data


def main():
    build, out, timeout = environment("demo", 180)

    missing = orvqemu.missing_tools()
    if missing:
        fail("missing %s (run scripts/install-deps.sh)" % ", ".join(missing))
    tool, apps, drivers = build_outputs(build, ["OrvUpdate.efi"])
    files = make_zone_hex(tool, out)
    print("demo: zone images made and signed with orvhex (demo key %s):"
          % os.path.relpath(images.DEMO_KEY))
    for name in ("ocm", "ocm_old", "customer"):
        info = dict(line.split(" ", 1) for line in orvhex(tool, "info", files[name]).splitlines())
        print("  %-13s version %s, %s payload bytes, security counter %s, signature %s"
              % (name + ".hex:", info["version"], info["payload"], info["security-counter"],
                 info["signature"]))
    new_image = zone_image("ocm")
    customer_image = zone_image("customer")
    # One payload byte changed and the CRC made to match: only the signature
    # gives it away.
    tampered = bytearray(new_image)
    tampered[images.HEADER_SIZE + 5000] ^= 0x01
    tampered = images.with_crc_repaired(bytes(tampered))

    # The volume. Both ICs start out running the old image from section 0.
    volume = demo_volume(out, apps, drivers, files)
    volume.put_file(files["ocm_old"], "OrvUpdateComponent/ocm_old.hex")
    volume.put_text("\r\n".join(images.hex_records(tampered) + [images.EOF_RECORD]) + "\r\n",
                    "OrvUpdateComponent/tampered.hex", out)
    old_bank = os.path.join(out, "old_bank.bin")
    orvhex(tool, "bank", "--size", str(OCM_BANK), files["ocm_old"], old_bank)
    for ic in ICS:
        volume.put_file(old_bank, "OrvSim/Ic%dOcm0.bin" % ic)
        volume.put_text("0\n", "OrvSim/Ic%dActive.txt" % ic, out)

    before = {ic: ic_state(volume, ic) for ic in ICS}

    orvqemu.accelerator(out, log=lambda line: print("demo: " + line))
    print("demo: booting the UEFI Shell under QEMU (timeout %d s) ..." % timeout)
    commands = [("first", "OrvUpdate.efi 0 1"),
                ("second", "OrvUpdate.efi 0 1"),
                ("tampered", "OrvUpdate.efi 0 1 -o OrvUpdateComponent\\tampered.hex"),
                ("older", "OrvUpdate.efi 0 1 -f -o OrvUpdateComponent\\ocm_old.hex")]
    result = run_in_shell(volume, out, timeout, commands)
    runs = result.runs()

    print()
    print_transcript(result, commands)
    redraws = re.findall(rb"\rFlashSim: erase IC \d+ OCM bank \d: +\d+%", result.raw)
    if redraws:
        print("(while each OCM bank was erased, the flash simulator showed its progress on the "
              "standard error console: %d redraws of one line such as \"%s\", cleared at the end)"
              % (len(redraws), redraws[len(redraws) // 4].decode().strip()))
    print("(whole serial console: %s)" % os.path.join(out, "console.log"))

    if result.stop_reason is not None:
        tail = "\n".join(result.tail(10))
        fail("QEMU was stopped: %s; console ends with:\n%s" % (result.stop_reason, tail))
    if "first" not in runs:
        tail = "\n".join(result.text.strip().split("\n")[-10:])
        fail("the UEFI Shell did not run the demo script; console ends with:\n" + tail)
    if not result.finished:
        fail("the shell script did not run to its end (the application hung or crashed)")

    after = {ic: ic_state(volume, ic) for ic in ICS}
    print()
    print("Summary (read back from the simulated flash):")
    problems = []
    for ic in ICS:
        b_sec, b_ver, _ = before[ic]
        a_sec, a_ver, a_img = after[ic]
        print("  IC %d: section %s, version %s  ->  section %s, version %s, security floor %d"
              % (ic, b_sec, version_text(b_ver) if b_ver is not None else "none",
                 a_sec, version_text(a_ver) if a_ver is not None else "none",
                 ic_floor(volume, ic)))
        if ic_floor(volume, ic) != NEW_COUNTER:
            problems.append("IC %d's security floor is not %d" % (ic, NEW_COUNTER))
        if a_sec == b_sec:
            problems.append("IC %d still runs section %s" % (ic, a_sec))
        if a_img is None or a_img[:len(new_image)] != new_image:
            problems.append("IC %d's active bank does not hold the new image" % ic)
        cust = volume.get("OrvSim/Ic%dCust0.bin" % ic)
        if cust is None or cust[:len(customer_image)] != customer_image:
            problems.append("IC %d's customer zone does not hold customer.hex" % ic)
    first, second = runs["first"], runs.get("second")
    if first.rc != "0x0":
        problems.append("the first run returned %s" % first.rc)
    if second is None or second.rc != "0x0":
        problems.append("the second run did not end with status 0")
    elif sum(1 for l in second.lines if l.startswith("Not Update!")) != len(ICS):
        problems.append("the second run did not find both ICs up to date")
    bad, older = runs.get("tampered"), runs.get("older")
    if bad is None or bad.rc != "0x1A" or \
            not any(l.endswith("tampered.hex: signature does not verify") for l in bad.lines):
        problems.append("the tampered image was not refused by the image parser (0x1A)")
    # The chips' policy refuses the older image before anything is erased.
    if older is None or older.rc != "0x1A" or \
            sum(1 for l in older.lines if " OCM image refused: counter " in l) != len(ICS):
        problems.append("the older image was not refused by both chips before any erase")
    if problems:
        for p in problems:
            print("demo: " + p)
        fail("the update did not happen as expected")
    print("demo: OK: both ICs updated to %s (security floor %d); the second run left them as "
          "they were; the tampered image was refused by the image parser; the older image %s, "
          "forced, was refused by both chips, which still run %s."
          % (version_text(NEW_VERSION), NEW_COUNTER, version_text(OLD_VERSION),
             version_text(NEW_VERSION)))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except orvqemu.E2EError as exc:
        fail(str(exc))
