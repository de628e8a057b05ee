#!/usr/bin/python3
"""Intel HEX interoperability, with the common tools as oracles.

For a spread of image sizes, every tool writes the image with several of its
settings and orvhex reads each file back (the bytes must be the image's, the
erased tail included); then each tool reads the file that `orvhex make`
wrote. A missing tool fails the run with its name: nothing is skipped.

usage: hex_interop.py ORVHEX WORKDIR [--table FILE] [--keep DIR]

--table writes the result table (Markdown); --keep copies a few of the tool
files into DIR for the end-to-end runs in the UEFI Shell.
"""

import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import zlib

HEADER_SIZE = 24
MAGIC = b"ORVI"

# Payload sizes: empty, under 64 KiB, over 64 KiB, over 1 MiB.
SIZES = [0, 1000, 70000, 1258291]


def fail(message):
    print("hex_interop: " + message, file=sys.stderr)
    sys.exit(1)


def require_tools():
    missing = [t for t in ("srec_cat", "objcopy") if shutil.which(t) is None]
    try:
        import intelhex  # noqa: F401
    except ImportError:
        missing.append("python3-intelhex (module intelhex for %s)" % sys.executable)
    if missing:
        fail("missing oracle tools: %s (scripts/install-deps.sh installs them)" % ", ".join(missing))


def tool_version(command):
    out = subprocess.run(command, capture_output=True, text=True).stdout
    return out.splitlines()[0].strip() if out else "?"


def intelhex_version():
    out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "python3-intelhex"],
                         capture_output=True, text=True).stdout
    return "python3-intelhex " + (out.strip() or "?")


def make_payload(size, variant, rng):
    data = bytearray(rng.getrandbits(8) for _ in range(size)) if size < 4096 else bytearray(rng.randbytes(size))
    if variant == "hole" and size > 0:
        # A run of erased bytes in the middle.
        start, length = size // 3, min(5000, size // 4 + 1)
        data[start:start + length] = b"\xff" * length
    if variant in ("hole", "tail") and size > 0:
        # Erased bytes at the end.
        data[-min(3000, size):] = b"\xff" * min(3000, size)
    return bytes(data)


def make_image(payload, version):
    header = MAGIC + struct.pack("<IQII", len(payload), version, zlib.crc32(payload) & 0xFFFFFFFF, 0)
    return header + payload


def run(command, **kw):
    result = subprocess.run(command, capture_output=True, **kw)
    if result.returncode != 0:
        raise RuntimeError("%s: exit %d: %s" % (" ".join(command), result.returncode,
                                                 result.stderr.decode(errors="replace").strip()))
    return result


# Line-level changes applied to a tool's output.
def to_lower(text):
    return text.lower()


def to_crlf(text):
    return text.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def to_lf(text):
    return text.replace(b"\r\n", b"\n")


def rewrite(hex_path, post):
    """Passes a written file through post (a bytes -> bytes function), if any."""
    if post:
        with open(hex_path, "rb") as f:
            text = f.read()
        with open(hex_path, "wb") as f:
            f.write(post(text))


def srec(label, input_options, output_options, post=None, limit=None):
    def write(image_path, hex_path, work):
        run(["srec_cat", image_path, "-binary"] + input_options + ["-o", hex_path, "-intel"] + output_options)
        rewrite(hex_path, post)
    return ("srec_cat", label, write, limit)


def objcopy(label, options, post=None):
    def write(image_path, hex_path, work):
        run(["objcopy", "-I", "binary", "-O", "ihex"] + options + [image_path, hex_path])
        rewrite(hex_path, post)
    return ("objcopy", label, write, None)


def pyih(label, byte_count, eol="native", start=None, unfill=False, post=None):
    def write(image_path, hex_path, work):
        import intelhex
        with open(image_path, "rb") as f:
            image = f.read()
        ih = intelhex.IntelHex()
        if unfill:
            # Only the bytes that are not erased: gaps and a short tail.
            ih.fromdict({a: b for a, b in enumerate(image) if b != 0xFF})
        else:
            ih.frombytes(image)
        if start is not None:
            ih.start_addr = start
        with open(hex_path, "w", newline="") as f:
            ih.write_hex_file(f, write_start_addr=start is not None, eolstyle=eol, byte_count=byte_count)
        rewrite(hex_path, post)
    return ("python3-intelhex", label, write, None)


SEGMENT_LIMIT = 0xFFFF0 + 0x10000  # highest address + 1 that 02 records reach
I8HEX_LIMIT = 0x10000

WRITERS = [
    srec("default (32-byte records, 04 linear)", [], []),
    srec("-obs 16", [], ["-obs", "16"]),
    srec("-obs 20", [], ["-obs", "20"]),
    srec("-obs 255", [], ["-obs", "255"]),
    srec("-obs 255 -crlf", [], ["-obs", "255", "-crlf"]),
    srec("-obs 255, lower case", [], ["-obs", "255"], post=to_lower),
    srec("-address-length=3 (02 segment) -obs 255", [], ["-address-length=3", "-obs", "255"], limit=SEGMENT_LIMIT),
    srec("-address-length=2 (no extended records)", [], ["-address-length=2"], limit=I8HEX_LIMIT),
    srec("-Execution_Start_Address 0x1234 (05 record)", [], ["-Execution_Start_Address", "0x1234"]),
    srec("-unfill 0xFF 16 (holes, short tail)", ["-unfill", "0xFF", "16"], ["-obs", "32"]),
    srec("-unfill 0xFF 1 -obs 255", ["-unfill", "0xFF", "1"], ["-obs", "255"]),
    objcopy("-O ihex (16-byte records, CRLF, 02 then 04)", []),
    objcopy("-O ihex, LF line ends", [], post=to_lf),
    objcopy("-O ihex, lower case", [], post=to_lower),
    pyih("byte_count=16", 16),
    pyih("byte_count=32, CRLF", 32, eol="CRLF"),
    pyih("byte_count=255", 255),
    pyih("byte_count=20, lower case", 20, post=to_lower),
    pyih("EIP start address (05)", 16, start={"EIP": 0x1234}),
    pyih("CS:IP start address (03)", 16, start={"CS": 0x10, "IP": 0x20}),
    pyih("only the bytes that are not FF (holes, short tail)", 32, unfill=True),
]


def leaves_out_erased(label):
    return "holes" in label


def read_with_orvhex(orvhex, hex_path, out_path):
    run([orvhex, "bin", "--with-header", hex_path, out_path])
    with open(out_path, "rb") as f:
        return f.read()


def readers(orvhex_hex, out_path):
    def by_srec():
        run(["srec_cat", orvhex_hex, "-intel", "-o", out_path, "-binary"])
        with open(out_path, "rb") as f:
            return f.read()

    def by_objcopy():
        run(["objcopy", "-I", "ihex", "-O", "binary", orvhex_hex, out_path])
        with open(out_path, "rb") as f:
            return f.read()

    def by_intelhex():
        import intelhex
        ih = intelhex.IntelHex(orvhex_hex)
        return bytes(ih.tobinarray(start=0))

    return [("srec_cat", "-intel -o out.bin -binary", by_srec),
            ("objcopy", "-I ihex -O binary", by_objcopy),
            ("python3-intelhex", "IntelHex(file).tobinarray()", by_intelhex)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("orvhex")
    parser.add_argument("work")
    parser.add_argument("--table")
    parser.add_argument("--keep")
    args = parser.parse_args()
    require_tools()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    rng = random.Random(20261208)
    failures = []
    rows = {}

    for size in SIZES:
        for variant in ("plain", "hole", "tail"):
            payload = make_payload(size, variant, rng)
            image = make_image(payload, 0x10000 + size)
            image_path = os.path.join(args.work, "image-%d-%s.bin" % (size, variant))
            with open(image_path, "wb") as f:
                f.write(image)
            for number, (tool, label, write, limit) in enumerate(WRITERS):
                key = (tool, label)
                if variant != "plain" and (size == 0 or not leaves_out_erased(label)):
                    continue  # erased runs matter only to the writers that leave them out
                hex_path = os.path.join(args.work, "w%02d-%d-%s.hex" % (number, size, variant))
                if limit is not None and len(image) > limit:
                    rows.setdefault(key, []).append("%d %s: n/a (addressing reaches %d KiB)" %
                                                     (size, variant, limit // 1024))
                    continue
                try:
                    write(image_path, hex_path, args.work)
                    got = read_with_orvhex(args.orvhex, hex_path, hex_path + ".bin")
                    if got != image:
                        raise RuntimeError("orvhex read %d bytes that differ from the image of %d" %
                                           (len(got), len(image)))
                    verdict = "ok"
                except RuntimeError as error:
                    verdict = "FAILED"
                    failures.append("%s %s, payload %d %s: %s" % (tool, label, size, variant, error))
                rows.setdefault(key, []).append("%d %s: %s" % (size, variant, verdict))

        # The other way round: the tools read what orvhex writes.
        payload = make_payload(size, "plain", rng)
        bin_path = os.path.join(args.work, "payload-%d.bin" % size)
        with open(bin_path, "wb") as f:
            f.write(payload)
        orvhex_hex = os.path.join(args.work, "orvhex-%d.hex" % size)
        run([args.orvhex, "make", "--version", "0x%x" % (0x20000 + size), bin_path, orvhex_hex])
        image = make_image(payload, 0x20000 + size)
        for tool, label, read in readers(orvhex_hex, orvhex_hex + ".out"):
            key = (tool + " reads orvhex make", label)
            try:
                got = read()
                verdict = "ok" if got == image else "FAILED"
                if got != image:
                    failures.append("%s read orvhex make output of payload %d: bytes differ" % (tool, size))
            except RuntimeError as error:
                verdict = "FAILED"
                failures.append("%s read orvhex make output of payload %d: %s" % (tool, size, error))
            rows.setdefault(key, []).append("%d: %s" % (size, verdict))

    versions = [tool_version(["srec_cat", "-version"]), tool_version(["objcopy", "--version"]),
                intelhex_version()]
    lines = ["Tools: " + "; ".join(versions), "",
             "Payload sizes %s bytes; image = 24-byte header + payload. Variants: plain; for the writers that"
             " leave FF bytes out also hole (an FF run in the middle and an FF tail) and tail (an FF tail only)." % ", ".join(str(s) for s in SIZES), "",
             "| tool | settings | results (payload size, variant: result) |", "|---|---|---|"]
    for (tool, label), results in rows.items():
        lines.append("| %s | %s | %s |" % (tool, label, "; ".join(results)))
    table = "\n".join(lines) + "\n"
    print(table)
    if args.table:
        with open(args.table, "w") as f:
            f.write(table)
    if args.keep:
        keep(args, rng)
    if failures:
        fail("%d failures:\n  " % len(failures) + "\n  ".join(failures))
    print("hex_interop: all %d combinations read back byte for byte" % sum(len(r) for r in rows.values()))


def keep(args, rng):
    """A few tool files for the end-to-end runs: records across 64 KiB, 02
    segments, holes and a short FF tail, CRLF and lower case."""
    os.makedirs(args.keep, exist_ok=True)
    payload = make_payload(70000, "hole", rng)
    image = make_image(payload, 0x30001)
    image_path = os.path.join(args.keep, "image.bin")
    with open(image_path, "wb") as f:
        f.write(image)
    by_label = {label: write for _, label, write, _ in WRITERS}
    chosen = {"srec255.hex": "-obs 255", "srecseg.hex": "-address-length=3 (02 segment) -obs 255",
              "srecunf.hex": "-unfill 0xFF 16 (holes, short tail)", "sreclow.hex": "-obs 255, lower case",
              "objcopy.hex": "-O ihex (16-byte records, CRLF, 02 then 04)",
              "pyihunf.hex": "only the bytes that are not FF (holes, short tail)"}
    for name, label in chosen.items():
        by_label[label](image_path, os.path.join(args.keep, name), args.keep)


if __name__ == "__main__":
    main()
