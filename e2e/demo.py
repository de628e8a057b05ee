#!/usr/bin/env python3
"""The demo: two simulated ICs updated by OrvUpdate.efi in the UEFI Shell.

Makes a demo volume (the application, its settings, the three reference
drivers, zone images made with orvhex, and the flash of two simulated ICs
running version 1.1.2 from section 0), boots QEMU, runs `OrvUpdate.efi 0 1`
twice, shows the console transcript and a summary per IC read back from the
simulated flash, and exits 0 only when both ICs really run the new image.

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

[Ic1]
Address = 0x51
""" % (OCM_BANK, CUST_BANK)


DRIVERS = ("OrvHexImage.efi", "OrvFlashSim.efi", "OrvPathSim.efi")
# The zone images: name, version, payload seed, payload size.
ZONE_IMAGES = (("ocm_old", OLD_VERSION, 1, 100000),
               ("ocm", NEW_VERSION, 2, 100000),
               ("customer", CUSTOMER_VERSION, 3, 2000))


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
    """The zone images as HEX files, made with the host tool from payload
    files: {name: path}."""
    files = {}
    for name, version, seed, size in ZONE_IMAGES:
        payload = os.path.join(out, name + ".payload.bin")
        with open(payload, "wb") as f:
            f.write(images.payload(seed, size))
        files[name] = os.path.join(out, name + ".hex")
        orvhex(tool, "make", "--version", "0x%X" % version, payload, files[name])
    return files


def zone_image(name):
    """The bytes of one of the zone images (header and payload)."""
    _, version, seed, size = next(z for z in ZONE_IMAGES if z[0] == name)
    return images.image(version, images.payload(seed, size))


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
    print("demo: zone images made with orvhex:")
    for name in ("ocm", "customer"):
        info = orvhex(tool, "info", files[name]).split()
        print("  %-13s version %s, %s payload bytes" % (name + ".hex:", info[1], info[3]))
    new_image = zone_image("ocm")
    customer_image = zone_image("customer")

    # The volume. Both ICs start out running the old image from section 0.
    volume = demo_volume(out, apps, drivers, files)
    old_bank = os.path.join(out, "old_bank.bin")
    orvhex(tool, "bank", "--size", str(OCM_BANK), files["ocm_old"], old_bank)
    for ic in ICS:
        volume.put_file(old_bank, "OrvSim/Ic%dOcm0.bin" % ic)
        volume.put_text("0\n", "OrvSim/Ic%dActive.txt" % ic, out)

    before = {ic: ic_state(volume, ic) for ic in ICS}

    orvqemu.accelerator(out, log=lambda line: print("demo: " + line))
    print("demo: booting the UEFI Shell under QEMU (timeout %d s) ..." % timeout)
    commands = [("first", "OrvUpdate.efi 0 1"), ("second", "OrvUpdate.efi 0 1")]
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
        print("  IC %d: section %s, version %s  ->  section %s, version %s"
              % (ic, b_sec, version_text(b_ver) if b_ver is not None else "none",
                 a_sec, version_text(a_ver) if a_ver is not None else "none"))
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
    if problems:
        for p in problems:
            print("demo: " + p)
        fail("the update did not happen as expected")
    print("demo: OK: both ICs updated to %s; the second run left them as they were."
          % version_text(NEW_VERSION))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except orvqemu.E2EError as exc:
        fail(str(exc))
