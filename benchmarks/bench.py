#!/usr/bin/env python3
"""Runs the benchmarks and prints one table (run it through scripts/bench.sh).

Rows, each with what it measures, our figure, the reference figure measured
in the same run, their ratio and the target ratio:

  hex       orvhex bin --with-header against objcopy and srec_cat on the same
            files (1 and 16 MiB images, 16- and 32-byte records): wall time
            and peak memory (/usr/bin/time), as ratios to objcopy; with
            valgrind installed also instructions executed (callgrind), a
            figure that load on the machine does not move
  compare   FindFirstDifference against memcmp (orv_compare_bench)
  settings  settings lookup against a memchr scan (orv_settings_bench)
  wholerun  OrvUpdateMain on the host (its time outside the flash calls, and
            the whole run) against the modelled SPI NOR flash time of the
            same update (orv_wholerun_bench)
  qemu      an update of 2 ICs x 1 MiB in the UEFI Shell under QEMU with the
            simulator's timing on, against the simulator's modelled time
  verify    signature verification of signed 4 and 16 MiB images: orvhex
            verify against openssl dgst -sha256 -verify over the same bytes
            (processes, interleaved), and the verification itself in process
            (orv_verify_bench) as a share of the modelled SPI NOR time to
            write that image (erase and program)

Every process is measured interleaved with its reference (ours, reference,
ours, reference, ...) and medians are reported with the number of runs. No
row asserts a time; the exit status is 0 unless a program failed to run or
produced a wrong result.

Environment: ORV_BUILD_DIR (default <root>/build), BENCH_RUNS (process runs
per command, default 5), BENCH_ROUNDS (rounds inside the C++ benchmarks,
default 21), BENCH_ROWS (comma-separated subset of the rows above),
BENCH_QEMU_RUNS (updates in the QEMU boot, default 3), BENCH_WORKDIR
(scratch, default <build>/bench), BENCH_ORVHEX (the orvhex to measure),
BENCH_CALLGRIND=0 (no instruction counts; they need valgrind and take about
a minute).
"""

import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "e2e"))

BUILD = os.path.abspath(os.environ.get("ORV_BUILD_DIR", os.path.join(ROOT, "build")))
WORK = os.path.abspath(os.environ.get("BENCH_WORKDIR", os.path.join(BUILD, "bench")))
RUNS = int(os.environ.get("BENCH_RUNS", "5"))
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "21"))
QEMU_RUNS = int(os.environ.get("BENCH_QEMU_RUNS", "3"))
ALL_ROWS = ("hex", "compare", "settings", "wholerun", "qemu", "verify")
ROWS = [r for r in os.environ.get("BENCH_ROWS", ",".join(ALL_ROWS)).split(",") if r]
# Instruction counts beside the wall times, when valgrind is installed.
CALLGRIND = os.environ.get("BENCH_CALLGRIND", "1") != "0" and shutil.which("valgrind") is not None
ORVHEX = os.environ.get("BENCH_ORVHEX", os.path.join(BUILD, "tools", "orvhex", "orvhex"))
TIME = "/usr/bin/time"
MIB = 1 << 20


class BenchError(Exception):
    pass


class Row:
    """One line of the table. Ratio is ours/reference (or reference/ours for
    throughput rows, see 'sense'); target is the ratio the row should meet."""

    def __init__(self, group, case, measure, ours, reference, ref_name, ratio, target,
                 met, runs):
        self.group, self.case, self.measure = group, case, measure
        self.ours, self.reference, self.ref_name = ours, reference, ref_name
        self.ratio, self.target, self.met, self.runs = ratio, target, met, runs


def note(text):
    print("bench: " + text, file=sys.stderr, flush=True)


# ---- HEX decode --------------------------------------------------------------

def make_hex_files():
    """1 and 16 MiB images (header included) as HEX with 16- and 32-byte
    records: orvhex make writes 16-byte records, srec_cat re-blocks them."""
    os.makedirs(WORK, exist_ok=True)
    files = []
    for mib in (1, 16):
        base = os.path.join(WORK, "img%dm" % mib)
        hex16, hex32 = base + "_16.hex", base + "_32.hex"
        if not (os.path.exists(hex16) and os.path.exists(hex32)):
            payload = base + ".payload"
            with open(payload, "wb") as f:
                f.write(random.Random(mib).randbytes(mib * MIB - 24))
            run_checked([ORVHEX, "make", "--version", "0x10203", payload, hex16])
            run_checked(["srec_cat", hex16, "-intel", "-o", hex32, "-intel", "-obs", "32"])
            os.remove(payload)
        files.append((mib, 16, hex16))
        files.append((mib, 32, hex32))
    return files


def run_checked(argv):
    proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if proc.returncode != 0:
        raise BenchError("%s failed: %s" % (" ".join(argv),
                                            proc.stderr.decode(errors="replace").strip()))
    return proc.stdout.decode(errors="replace")


def timed(argv):
    """(wall seconds, peak resident KiB) of one process."""
    stats = os.path.join(WORK, "time.txt")
    start = time.perf_counter()
    proc = subprocess.run([TIME, "-f", "%M", "-o", stats] + argv,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - start
    if proc.returncode != 0:
        raise BenchError("%s failed: %s" % (" ".join(argv),
                                            proc.stderr.decode(errors="replace").strip()))
    with open(stats) as f:
        peak = int(f.read().split()[-1])
    return wall, peak


def instructions(argv):
    """Instructions executed by one process, counted by callgrind: a figure
    that other load on the machine does not move."""
    out = os.path.join(WORK, "callgrind.out")
    proc = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + argv,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    text = proc.stderr.decode(errors="replace")
    if proc.returncode != 0:
        raise BenchError("callgrind %s failed: %s" % (" ".join(argv), text.strip()[-300:]))
    for line in text.splitlines():
        if "Collected :" in line:
            return int(line.split(":")[-1].strip())
    raise BenchError("callgrind printed no instruction count for %s" % " ".join(argv))


def hex_rows():
    files = make_hex_files()
    out = os.path.join(WORK, "out.bin")
    tools = {
        "orvhex": lambda src: [ORVHEX, "bin", "--with-header", src, out],
        "objcopy": lambda src: ["objcopy", "-I", "ihex", "-O", "binary", src, out],
        "srec_cat": lambda src: ["srec_cat", src, "-intel", "-o", out, "-binary"],
    }
    rows = []
    for mib, record, path in files:
        # The three decoders must agree before their times mean anything.
        images = {}
        for name, argv in tools.items():
            run_checked(argv(path))
            with open(out, "rb") as f:
                images[name] = f.read()
        if len(set(images.values())) != 1 or len(images["orvhex"]) != mib * MIB:
            raise BenchError("%s: the decoders do not agree" % path)

        samples = {name: [] for name in tools}
        order = list(tools)
        for run in range(RUNS):
            # Interleaved, with the order rotating from run to run.
            for name in order[run % 3:] + order[:run % 3]:
                samples[name].append(timed(tools[name](path)))
        wall = {n: statistics.median(s[0] for s in samples[n]) for n in tools}
        peak = {n: statistics.median(s[1] for s in samples[n]) / 1024 for n in tools}
        case = "%d MiB image, %d-byte records (%.1f MB text)" % (
            mib, record, os.path.getsize(path) / 1e6)
        for ref in ("objcopy", "srec_cat"):
            ratio = wall["orvhex"] / wall[ref]
            target = "<= 1.0 (aim 0.5)" if ref == "objcopy" else ""
            met = ("yes" if ratio <= 1.0 else "NO") if ref == "objcopy" else ""
            rows.append(Row("HEX decode", case, "wall time, orvhex bin / " + ref,
                            "%.3f s" % wall["orvhex"], "%.3f s" % wall[ref], ref,
                            ratio, target, met, RUNS))
        if CALLGRIND:
            ours_ir = instructions(tools["orvhex"](path))
            objcopy_ir = instructions(tools["objcopy"](path))
            rows.append(Row("HEX decode", case, "instructions (callgrind), orvhex bin / objcopy",
                            "%.0f M" % (ours_ir / 1e6), "%.0f M" % (objcopy_ir / 1e6),
                            "objcopy", ours_ir / objcopy_ir, "", "", 1))
        limit = mib + 4
        rows.append(Row("HEX decode", case, "peak memory, orvhex bin / objcopy",
                        "%.1f MiB" % peak["orvhex"], "%.1f MiB" % peak["objcopy"], "objcopy",
                        peak["orvhex"] / peak["objcopy"],
                        "peak <= image + 4 MiB = %d MiB" % limit,
                        "yes" if peak["orvhex"] <= limit else "NO", RUNS))
        rows.append(Row("HEX decode", case, "peak memory, srec_cat (for reference)",
                        "", "%.1f MiB" % peak["srec_cat"], "srec_cat", None, "", "", RUNS))
    return rows


# ---- C++ benchmark programs ----------------------------------------------------

def program_lines(name):
    exe = os.path.join(BUILD, "benchmarks", name)
    if not os.path.isfile(exe):
        raise BenchError("%s is not built (run scripts/build.sh)" % exe)
    text = run_checked([exe, "--tsv", "--rounds", str(ROUNDS)])
    return [line.split("\t") for line in text.splitlines() if "\t" in line]


def compare_rows():
    rows = []
    for _, case, ours, ref, rounds in program_lines("orv_compare_bench"):
        ours, ref = float(ours), float(ref)
        ratio = ref / ours
        rows.append(Row("read-back compare", case + ", differs in the last byte",
                        "throughput, FindFirstDifference / memcmp",
                        "%.3f ms" % (ours * 1e3), "%.3f ms" % (ref * 1e3), "memcmp", ratio,
                        ">= 0.5", "yes" if ratio >= 0.5 else "NO", int(rounds)))
    return rows


def settings_rows():
    rows = []
    for _, case, ours, ref, rounds in program_lines("orv_settings_bench"):
        ours, ref = float(ours), float(ref)
        ratio = ours / ref
        rows.append(Row("settings lookup", case,
                        "time, section + key + value / memchr over every '['",
                        "%.1f us" % (ours * 1e6), "%.1f us" % (ref * 1e6), "memchr", ratio,
                        "<= 3", "yes" if ratio <= 3 else "NO", int(rounds)))
    return rows


def wholerun_rows():
    rows = []
    for tag, case, own, modelled, rounds, mib, run in program_lines("orv_wholerun_bench"):
        own, modelled, mib, run = float(own), float(modelled), float(mib), float(run)
        if tag == "fmp":
            # The same OCM update through OrvUpdate.efi and through FMP SetImage.
            rows.append(Row("FMP vs engine (host)", "%s, %.0f MiB written" % (case, mib),
                            "tool time (outside flash calls) / modelled SPI NOR flash time",
                            "%.1f ms (%.3f ms/MiB)" % (own * 1e3, own * 1e3 / mib),
                            "%.1f s" % modelled, "SPI NOR model", own / modelled, "<= 0.01",
                            "yes" if own / modelled <= 0.01 else "NO", int(rounds)))
            continue
        case = "%s, %.0f MiB written" % (case, mib)
        ratio = own / modelled
        rows.append(Row("whole run (host)", case,
                        "tool time (outside flash calls) / modelled SPI NOR flash time",
                        "%.1f ms (%.3f ms/MiB)" % (own * 1e3, own * 1e3 / mib),
                        "%.1f s" % modelled, "SPI NOR model", ratio, "<= 0.01",
                        "yes" if ratio <= 0.01 else "NO", int(rounds)))
        rows.append(Row("whole run (host)", case,
                        "whole run incl. the flash model's memory work / modelled time",
                        "%.1f ms (%.3f ms/MiB)" % (run * 1e3, run * 1e3 / mib),
                        "%.1f s" % modelled, "SPI NOR model", run / modelled, "", "",
                        int(rounds)))
    return rows


# ---- QEMU ------------------------------------------------------------------------

QEMU_ICS = 2
QEMU_OCM_BANK = MIB
QEMU_CUSTOMER_BANK = 4096
SECTOR, SECTOR_US, PAGE, PAGE_US = 4096, 45000, 256, 700


def qemu_rows():
    import images
    import orvqemu

    missing = orvqemu.missing_tools()
    if missing:
        raise BenchError("missing %s (run scripts/install-deps.sh)" % ", ".join(missing))
    work = os.path.join(WORK, "qemu")
    os.makedirs(work, exist_ok=True)
    app = os.path.join(BUILD, "OrvUpdate.efi")
    drivers = [os.path.join(BUILD, "OrvSimPkg", d)
               for d in ("OrvHexImage.efi", "OrvFlashSim.efi", "OrvPathSim.efi")]

    # A 1 MiB OCM image (header included) filling the bank, a small customer image.
    ocm_payload = random.Random(7).randbytes(QEMU_OCM_BANK - 24)
    cust_payload = images.payload(3, 2000)
    hexes = {}
    for name, version, payload in (("ocm", 0x10203, ocm_payload),
                                   ("customer", 1, cust_payload)):
        bin_path = os.path.join(work, name + ".payload")
        with open(bin_path, "wb") as f:
            f.write(payload)
        hexes[name] = os.path.join(work, name + ".hex")
        run_checked([ORVHEX, "make", "--version", str(version), bin_path, hexes[name]])
    ocm_size = len(ocm_payload) + 24
    cust_size = len(cust_payload) + 24

    def flashsim(timing):
        text = ("[FlashSim]\nIcCount = %d\nOcmBankSize = %d\nCustomerBankSize = %d\n"
                "Timing = %s\n" % (QEMU_ICS, QEMU_OCM_BANK, QEMU_CUSTOMER_BANK, timing))
        return text

    volume = orvqemu.Volume(os.path.join(work, "bench.img"))
    volume.put_file(app, "OrvUpdate.efi")
    volume.mkdir("OrvUpdateComponent")
    volume.mkdir("OrvSim")
    for path in drivers:
        volume.put_file(path, "OrvUpdateComponent/" + os.path.basename(path))
    volume.put_text("[default]\ntarget = Bench\n[Bench]\nImageParser = OrvHexImage.efi\n"
                    "FlashInterface = OrvFlashSim.efi\nDevicePath = OrvPathSim.efi\n"
                    "OCM = ocm.hex\ncustomer = customer.hex\n",
                    "OrvUpdateComponent/OrvUpdateSettings.ini", work)
    volume.put_file(hexes["ocm"], "OrvUpdateComponent/ocm.hex")
    volume.put_file(hexes["customer"], "OrvUpdateComponent/customer.hex")
    volume.put_text(flashsim("on"), "OrvSim/On.ini", work)
    volume.put_text(flashsim("off"), "OrvSim/Off.ini", work)

    # Every run is forced, so each programs the OCM zone into the other bank
    # and the customer zone into bank 0. A first unmeasured run creates the
    # bank files; then timing on and off alternate.
    lines = ["cp -q OrvSim\\Off.ini OrvSim\\FlashSim.ini"]
    lines += orvqemu.shell_run("warmup", "OrvUpdate.efi 0 1 -f")
    ids = []
    for run in range(QEMU_RUNS):
        for timing in ("on", "off"):
            run_id = "%s%d" % (timing, run)
            ids.append(run_id)
            lines.append("cp -q OrvSim\\%s.ini OrvSim\\FlashSim.ini" % timing.capitalize())
            lines += orvqemu.shell_run(run_id, "OrvUpdate.efi 0 1 -f")
    timeout = 120 + QEMU_RUNS * 120
    note("QEMU: booting for %d timed updates (timeout %d s) ..." % (2 * QEMU_RUNS, timeout))
    # A timed update prints nothing for up to 15 s while the flash waits.
    result = orvqemu.boot(volume, lines, work, timeout=timeout, log_name="bench-console.log",
                          stall=90)
    runs = result.runs()
    if result.timed_out or not result.finished:
        raise BenchError("QEMU boot did not finish (see %s)"
                         % os.path.join(work, "bench-console.log"))
    seconds = {}
    for run_id in ["warmup"] + ids:
        run = runs.get(run_id)
        if run is None or run.rc != "0x0":
            raise BenchError("QEMU run %s failed: %s" % (
                run_id, "\n".join(run.lines) if run else "no output"))
        seconds[run_id] = result.run_seconds(run_id)

    per_ic = ((QEMU_OCM_BANK + SECTOR - 1) // SECTOR * SECTOR_US +
              (ocm_size + PAGE - 1) // PAGE * PAGE_US +
              (QEMU_CUSTOMER_BANK + SECTOR - 1) // SECTOR * SECTOR_US +
              (cust_size + PAGE - 1) // PAGE * PAGE_US)
    modelled = QEMU_ICS * per_ic / 1e6
    on = statistics.median(seconds["on%d" % r] for r in range(QEMU_RUNS))
    off = statistics.median(seconds["off%d" % r] for r in range(QEMU_RUNS))
    case = "%d ICs x %d MiB OCM (%d-byte image) + %d-byte customer image" % (
        QEMU_ICS, QEMU_OCM_BANK // MIB, ocm_size, cust_size)
    ratio = on / modelled
    return [
        Row("update in QEMU", case, "wall time, timing on / modelled time",
            "%.2f s" % on, "%.2f s" % modelled, "simulator model", ratio, "<= 1.10",
            "yes" if ratio <= 1.10 else "NO", QEMU_RUNS),
        Row("update in QEMU", case, "wall time, timing off (tool + firmware + file writes)",
            "%.2f s" % off, "%.2f s" % modelled, "simulator model", off / modelled, "",
            "", QEMU_RUNS),
    ]


# ---- Signature verification -------------------------------------------------------

ERASE_SECTOR, ERASE_SECTOR_S, PROGRAM_PAGE, PROGRAM_PAGE_S = 64 * 1024, 0.150, 256, 0.0005
DEMO_KEYS = os.path.join(ROOT, "OrvSimPkg", "Keys")


def flash_write_seconds(size):
    """Modelled SPI NOR time to write size bytes: erase, then program."""
    return (-(-size // ERASE_SECTOR) * ERASE_SECTOR_S + -(-size // PROGRAM_PAGE) * PROGRAM_PAGE_S)


def verify_rows():
    import struct
    key = os.path.join(DEMO_KEYS, "demo-signing-key.pem")
    pub = os.path.join(DEMO_KEYS, "demo-signing-key.pub.pem")
    os.makedirs(WORK, exist_ok=True)
    in_process = {}
    for _, case, seconds, rounds, size in program_lines("orv_verify_bench"):
        in_process[int(size) >> 20] = (float(seconds), int(rounds), int(size))
    rows = []
    for mib in (4, 16):
        base = os.path.join(WORK, "signed%dm" % mib)
        payload = base + ".payload"
        with open(payload, "wb") as f:
            f.write(random.Random(mib + 100).randbytes(mib * MIB - 24 - 8 - 108))
        run_checked([ORVHEX, "make", "--version", "0x10203", "--security-counter", "1", "--key",
                     key, payload, base + ".hex"])
        run_checked([ORVHEX, "bin", "--with-header", base + ".hex", base + ".bin"])
        os.remove(payload)
        with open(base + ".bin", "rb") as f:
            image = f.read()
        signed = 24 + struct.unpack("<I", image[4:8])[0] + 8
        der_length = struct.unpack("<H", image[signed + 2:signed + 4])[0]
        with open(base + ".msg", "wb") as f:
            f.write(image[:signed])
        with open(base + ".sig", "wb") as f:
            f.write(image[signed + 36:signed + 36 + der_length])
        tools = {
            "orvhex": [ORVHEX, "verify", "--key", pub, base + ".bin"],
            "openssl": ["openssl", "dgst", "-sha256", "-verify", pub, "-signature", base + ".sig",
                        base + ".msg"],
        }
        samples = {name: [] for name in tools}
        for run in range(RUNS):
            for name in (("orvhex", "openssl") if run % 2 == 0 else ("openssl", "orvhex")):
                samples[name].append(timed(tools[name])[0])
        wall = {name: statistics.median(v) for name, v in samples.items()}
        case = "%d MiB signed image (%d bytes)" % (mib, len(image))
        rows.append(Row("signature verify", case,
                        "wall time, orvhex verify / openssl dgst -sha256 -verify (processes)",
                        "%.1f ms" % (wall["orvhex"] * 1e3), "%.1f ms" % (wall["openssl"] * 1e3),
                        "openssl", wall["orvhex"] / wall["openssl"], "", "", RUNS))
        seconds, rounds, size = in_process[mib]
        modelled = flash_write_seconds(size)
        share = seconds / modelled
        rows.append(Row("signature verify", case,
                        "verification in process / modelled SPI NOR time to write the image",
                        "%.1f ms" % (seconds * 1e3), "%.1f s" % modelled, "SPI NOR model", share,
                        "<= 0.01", "yes" if share <= 0.01 else "NO", rounds))
    return rows


# ---- Table ------------------------------------------------------------------------

def machine():
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = os.getloadavg()[0]
    return "%s, %d cores, %s, load %.1f" % (cpu or platform.machine(), os.cpu_count(),
                                             platform.platform(terse=True), load)


def print_table(rows):
    header = ("row", "case", "what is measured", "ours", "reference", "ratio", "target",
              "met", "runs")
    table = [header]
    for r in rows:
        table.append((r.group, r.case, r.measure, r.ours, r.reference,
                      "" if r.ratio is None else ("%.5f" if r.ratio < 0.1 else "%.3f") % r.ratio,
                      r.target, r.met,
                      str(r.runs)))
    widths = [max(len(line[i]) for line in table) for i in range(len(header))]
    for index, line in enumerate(table):
        print(" | ".join(cell.ljust(widths[i]) for i, cell in enumerate(line)).rstrip())
        if index == 0:
            print("-+-".join("-" * w for w in widths))


def main():
    unknown = [r for r in ROWS if r not in ALL_ROWS]
    if unknown:
        print("bench: unknown rows %s (known: %s)" % (",".join(unknown), ",".join(ALL_ROWS)))
        return 2
    for tool in (TIME, "objcopy", "srec_cat"):
        if shutil.which(tool) is None:
            print("bench: %s is missing (run scripts/install-deps.sh)" % tool)
            return 1
    builders = {"hex": hex_rows, "compare": compare_rows, "settings": settings_rows,
                "wholerun": wholerun_rows, "qemu": qemu_rows, "verify": verify_rows}
    rows = []
    failed = False
    started = time.monotonic()
    for name in ROWS:
        note("%s ..." % name)
        try:
            rows += builders[name]()
        except BenchError as exc:
            print("bench: %s: %s" % (name, exc))
            failed = True
    print("machine: %s" % machine())
    print("date: %s UTC; git: %s" % (time.strftime("%Y-%m-%d %H:%M", time.gmtime()),
                                     git_describe()))
    print("process runs per command: %d; rounds in the C++ benchmarks: %d; medians" %
          (RUNS, ROUNDS))
    print_table(rows)
    print("(%.0f s)" % (time.monotonic() - started))
    return 1 if failed else 0


def git_describe():
    proc = subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%h %s"],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return proc.stdout.decode(errors="replace").strip()[:72]


if __name__ == "__main__":
    sys.exit(main())
