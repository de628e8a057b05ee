"""The ESRT as Linux reads it: OrvFmp.efi loaded in the UEFI Shell, an
update of both ICs by capsules (orvhex capsule, applied by OrvCapsule.efi),
refused images handed to the FMP instances by FmpSet.efi, then
Debian's own kernel started from the Shell with a busybox initramfs that
prints every /sys/firmware/efi/esrt/entries/*/* field and the kernel's ESRT
lines on the serial console and powers off.

Four boots on one disk: before any update, after updating both ICs (IC 0
to V3, IC 1 to V4 with security counter 2), after refused attempts (a
tampered V3 for IC 0, V3 below IC 1's floor), and after V3 signed by a
foreign key (IC 0) and for another product (IC 1), refused too. The board's flash (the
simulator's bank files) is compared with what the ESRT says after each.

The guest comes from scripts/fetch-linux-guest.sh (cached); without it the
sequence fails with the command to run."""

import gzip
import os
import re
import struct

import images
import orvqemu
from harness import Case

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
GUEST_CACHE = os.path.join(os.environ.get("ORV_CACHE_DIR") or os.path.join(ROOT, ".cache"),
                           "linux-guest")
# no_timer_check: a loaded host's TCG guest otherwise spends minutes in the
# kernel's timer checks without a line on the console.
KERNEL_LINE = "vmlinuz.efi initrd=\\initrd.gz console=ttyS0 quiet panic=-1 no_timer_check"
# The guest boots silently (quiet) for a long time on a loaded host.
GUEST_TIMEOUT = 600
GUEST_STALL = 240
DEMO_MAKER = "82365a4b-0b14-4b60-a60f-c2ef"
LAST_ATTEMPT = {"success": 0, "unsuccessful": 1, "incorrect_version": 3, "invalid_format": 4,
                "auth_error": 5}

INIT = b"""#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /sys
mount -t proc proc /proc
mount -t sysfs sysfs /sys
for f in /sys/firmware/efi/esrt/entries/*/*; do echo "ESRT $f=$(cat $f)"; done
dmesg | grep -i esrt | sed 's/^/KLOG /'
echo ESRT-DONE
poweroff -f
"""


def _cpio_entry(name, mode, data=b"", rdev=(0, 0)):
    """One newc cpio entry (owner root, one link, mtime 0)."""
    name_b = name.encode() + b"\0"
    fields = (0, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name_b), 0)
    head = b"070701" + b"".join(b"%08X" % v for v in fields) + name_b
    head += b"\0" * (-len(head) % 4)
    return head + data + b"\0" * (-len(data) % 4)


def initramfs(busybox):
    """The guest's gzip'd initramfs: busybox, /init and /dev/console."""
    entries = [("dev", 0o40755, b""), ("bin", 0o40755, b""),
               ("bin/busybox", 0o100755, busybox), ("init", 0o100755, INIT)]
    out = b"".join(_cpio_entry(n, m, d) for n, m, d in entries)
    out += _cpio_entry("dev/console", 0o20600, rdev=(5, 1))
    out += _cpio_entry("TRAILER!!!", 0)
    return gzip.compress(out)


def fmp_version(counter, version):
    """The FMP Version of an image: counter in the top byte, version below."""
    return (min(counter, 255) << 24) | (version & 0xFFFFFF)


def esrt_entries(console):
    """{entry: {field: value}} from the guest's ESRT lines."""
    entries = {}
    for m in re.finditer(r"ESRT /sys/firmware/efi/esrt/entries/(entry\d+)/(\w+)=(\S*)", console):
        entries.setdefault(m.group(1), {})[m.group(2)] = m.group(3)
    return entries


def entry_problems(entries, name, expected):
    got = entries.get(name)
    if got is None:
        return ["%s missing from the guest's ESRT (%s)" % (name, sorted(entries))]
    problems = []
    for field, want in expected.items():
        have = got.get(field)
        ok = have is not None and (have.lower() == want if isinstance(want, str)
                                   else int(have, 0) == want)
        if not ok:
            problems.append("%s/%s is %s, expected %s" % (name, field, have,
                                                          want if isinstance(want, str)
                                                          else "0x%X" % want))
    return problems


def expected_entry(ic, version, counter, floor, last_version=0, last_status=0):
    return {"fw_class": "%s%08x" % (DEMO_MAKER, int(images.PRODUCT, 0)), "fw_type": 2,
            "fw_version": fmp_version(counter, version),
            "lowest_supported_fw_version": floor << 24,
            "last_attempt_version": last_version, "last_attempt_status": last_status}


def boot(suite, volume, name, commands):
    """Boots with OrvFmp.efi loaded, the FmpSet runs (a command that is not
    "INSTANCE FILE" runs as it stands), then the guest kernel.
    Returns the console text (CRLF made LF)."""
    lines = (["load OrvFmp.efi"] + [c if c.startswith("OrvCapsule") else "FmpSet.efi %s" % c for c in commands]
             + [KERNEL_LINE])
    orvqemu.write_startup(volume, lines, suite.workdir)
    vars_fd = os.path.join(suite.workdir, name + ".vars.fd")
    with open(orvqemu.OVMF_VARS, "rb") as src, open(vars_fd, "wb") as dst:
        dst.write(src.read())
    args = orvqemu._firmware_args(vars_fd)
    args[args.index("-m") + 1] = "512"
    argv = ([orvqemu.QEMU] + orvqemu.accelerator(suite.workdir) + args +
            ["-drive", "format=raw,file=" + volume.path])
    result = orvqemu.run_qemu(argv, max(suite.timeout, GUEST_TIMEOUT), stall=GUEST_STALL,
                              until=b"ESRT-DONE",
                              press_key=True)
    raw = result.raw
    with open(os.path.join(suite.workdir, "console-%s.log" % name), "wb") as f:
        f.write(raw)
    return raw.decode("latin-1").replace("\r\n", "\n")


def check_boot(console, setimage, expected, fmp_lines=True):
    problems = []
    if "ESRT-DONE" not in console:
        return ["the guest did not finish (no ESRT-DONE); console tail: %r" % console[-400:]]
    if not re.search(r"KLOG .*esrt: Reserving ESRT space", console):
        problems.append("the kernel did not accept the ESRT (no 'Reserving ESRT space' line)")
    if "ESRT header is not in the memory map" in console:
        problems.append("the kernel says: ESRT header is not in the memory map")
    got = re.findall(r"FmpSet: SetImage (\w+)", console)
    if got != setimage:
        problems.append("FmpSet's SetImage statuses %s, expected %s" % (got, setimage))
    for progress in re.findall(r"FmpSet: progress([ \d]*)", console):
        values = [int(v) for v in progress.split()]
        if values and (values[0] != 1 or values != sorted(set(values))):
            problems.append("progress not rising from 1: %s" % values)
    entries = esrt_entries(console)
    for ic, want in enumerate(expected):
        problems += entry_problems(entries, "entry%d" % ic, want)
    return problems


def capsule_problems(console, wanted):
    """Each capsule's one item updated its IC (instance, FMP version), with
    progress rising to 100."""
    problems = []
    for name, (instance, version) in wanted.items():
        head = "%s item 0 instance %d: " % (name, instance)
        line = head + "updated, version %X, last attempt status 0" % version
        if line not in console:
            problems.append("no line %r" % line)
        steps = [int(p) for p in re.findall(re.escape(head) + r"(\d+)%", console)]
        if not steps or steps[-1] != 100 or steps != sorted(set(steps)):
            problems.append("%s: progress %s, not rising to 100" % (name, steps))
    return problems


def sequence(suite, fx):
    kernel = os.path.join(GUEST_CACHE, "vmlinuz.efi")
    if not os.path.exists(kernel):
        cases = [(Case("esrt_linux", "guest", [], 0),
                  ["no guest kernel: run scripts/fetch-linux-guest.sh"])]
    else:
        cases = run_boots(suite, fx, kernel)
    suite.report_checked("-- sequence esrt_linux (consoles: %s)"
                         % os.path.join(suite.workdir, "console-esrt_*.log"), cases)


def run_boots(suite, fx, kernel):
    volume = fx.volume("esrt_linux")
    volume.put_file(os.path.join(fx.build, "OrvFmp.efi"), "OrvFmp.efi")
    volume.put_file(os.path.join(fx.build, "FmpSet.efi"), "FmpSet.efi")
    volume.put_file(os.path.join(fx.build, "OrvCapsule.efi"), "OrvCapsule.efi")
    folder = os.path.join(suite.workdir, "esrt_images")
    os.makedirs(folder, exist_ok=True)
    for ic, image in ((0, "ocm_v3.hex"), (1, "ocm_v4.hex")):
        capsule = os.path.join(folder, "ic%d.cap" % ic)
        fx._orvhex("capsule", "--ic", str(ic), fx.hex[image], capsule)
        volume.put_file(capsule, "ic%d.cap" % ic)
    volume.put_file(kernel, "vmlinuz.efi")
    with open(os.path.join(GUEST_CACHE, "busybox"), "rb") as f:
        volume.put_bytes(initramfs(f.read()), "initrd.gz", suite.workdir)
    tampered = bytearray(fx.ocm_v3)
    tampered[images.HEADER_SIZE + 5] ^= 0x01
    volume.put_bytes(fx.ocm_v3, "v3.bin", suite.workdir)
    volume.put_bytes(fx.ocm_v4, "v4.bin", suite.workdir)
    volume.put_bytes(images.with_crc_repaired(bytes(tampered)), "v3bad.bin", suite.workdir)
    v1 = images.header(fx.ocm_v1)[2]
    v3 = images.header(fx.ocm_v3)[2]
    v4 = images.header(fx.ocm_v4)[2]
    cases = []

    console = boot(suite, volume, "esrt_before", [])
    # Without the flash policy protocol the driver says so and shows no floor.
    policy = "cannot say what its ICs accept" not in console
    floor4 = images.security_counter(fx.ocm_v4) if policy else 0
    cases.append((Case("esrt_before", "load OrvFmp.efi; guest", [], 0),
                  check_boot(console, [], [expected_entry(ic, v1, 0, 0) for ic in (0, 1)])))

    console = boot(suite, volume, "esrt_update", ["OrvCapsule.efi ic0.cap ic1.cap"])
    cases.append((Case("esrt_update", "OrvCapsule.efi ic0.cap ic1.cap; guest", [], 0),
                  capsule_problems(console, {"ic0.cap": (1, fmp_version(0, v3)),
                                             "ic1.cap": (2, fmp_version(floor4, v4))})
                  + check_boot(console, [], [
                      expected_entry(0, v3, 0, 0, fmp_version(0, v3)),
                      expected_entry(1, v4, floor4, floor4, fmp_version(floor4, v4))])
                  + bank_problems(volume, v3, v4)))

    refused = "auth_error" if policy else "unsuccessful"
    old = "incorrect_version" if policy else "unsuccessful"
    console = boot(suite, volume, "esrt_refused", ["1 v3bad.bin", "2 v3.bin"])
    cases.append((Case("esrt_refused", "FmpSet.efi 1 v3bad.bin; FmpSet.efi 2 v3.bin; guest",
                       [], 0),
                  check_boot(console, ["1A" if policy else "15"] * 2, [
                      expected_entry(0, v3, 0, 0, fmp_version(0, v3), LAST_ATTEMPT[refused]),
                      expected_entry(1, v4, floor4, floor4, fmp_version(0, v3),
                                     LAST_ATTEMPT[old])])
                  + bank_problems(volume, v3, v4)))
    if policy:
        cases.append(foreign_boot(suite, fx, volume, v3, v4, floor4))
    return cases


def foreign_boot(suite, fx, volume, v3, v4, floor4):
    """V3 signed by a key the ICs do not know (IC 0) and V3 signed for
    another product (IC 1): both refused before any write, each with its
    own last attempt status."""
    folder = os.path.join(suite.workdir, "esrt_images")
    os.makedirs(folder, exist_ok=True)
    payload = os.path.join(folder, "v3.payload.bin")
    with open(payload, "wb") as f:
        f.write(fx.ocm_v3[images.HEADER_SIZE:images.HEADER_SIZE + images.header(fx.ocm_v3)[1]])
    foreign = os.path.join(folder, "foreign-key.pem")
    if not os.path.exists(foreign):
        fx._orvhex("keygen", foreign, foreign + ".pub")
    for name, key, product in (("v3foreign", foreign, images.PRODUCT), ("v3product", images.DEMO_KEY, "0x4F525602")):
        path = os.path.join(folder, name)
        fx._orvhex("make", "--version", "0x%X" % v3, "--zone", "ocm", "--product", product, "--key", key,
                   payload, path + ".hex")
        fx._orvhex("bin", "--with-header", path + ".hex", path + ".bin")
        volume.put_file(path + ".bin", name + ".bin")
    console = boot(suite, volume, "esrt_foreign", ["1 v3foreign.bin", "2 v3product.bin"])
    return (Case("esrt_foreign", "FmpSet.efi 1 v3foreign.bin; FmpSet.efi 2 v3product.bin; guest", [], 0),
            check_boot(console, ["1A", "1A"], [
                expected_entry(0, v3, 0, 0, fmp_version(0, v3), LAST_ATTEMPT["auth_error"]),
                expected_entry(1, v4, floor4, floor4, fmp_version(0, v3), LAST_ATTEMPT["invalid_format"])])
            + bank_problems(volume, v3, v4))


def bank_problems(volume, *versions):
    """The running OCM bank of each IC holds the version the ESRT names."""
    problems = []
    for ic, version in enumerate(versions):
        active = (volume.get("OrvSim/Ic%dActive.txt" % ic) or b"").decode().strip()
        data = volume.get("OrvSim/Ic%dOcm%s.bin" % (ic, active)) if active in ("0", "1") else None
        if not data or not images.is_valid(data) or images.header(data)[2] != version:
            problems.append("IC %d: the running bank %r does not hold version 0x%X"
                            % (ic, active, version))
    return problems


SEQUENCES = [("esrt_linux", sequence)]
