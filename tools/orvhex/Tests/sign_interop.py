#!/usr/bin/env python3
"""Signatures and keys of orvhex against the openssl command line tool, both
ways: openssl reads and verifies what orvhex writes, and orvhex reads and
verifies what openssl writes. The image layout is taken from the format's
description (OrvSimPkg/README.md), not from orvhex.

Usage: sign_interop.py ORVHEX WORKDIR
Prints one line per check and "sign interop: N passed, N failed".
"""

import hashlib
import os
import shutil
import struct
import subprocess
import sys
import zlib

HEADER = 24
PROTECTED = 16          # format 3: counter, product id, zone, 7 reserved bytes
BLOCK = 108
PRODUCT = "0x4F525601"


def run(argv, ok=True, data=None):
    proc = subprocess.run(argv, input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if ok and proc.returncode != 0:
        raise RuntimeError("%s: exit %d: %s" % (" ".join(argv), proc.returncode,
                                               proc.stderr.decode(errors="replace").strip()))
    return proc


def split_image(path):
    """(signed bytes, DER signature, key id) of a signed format 3 image."""
    data = open(path, "rb").read()
    length = struct.unpack("<I", data[4:8])[0]
    signed = HEADER + length + PROTECTED
    block = data[signed:signed + BLOCK]
    der_length = struct.unpack("<H", block[2:4])[0]
    return data[:signed], block[36:36 + der_length], block[4:36]


def image_with_signature(image, der, key_id):
    """A signed image made here from an unsigned one and a DER signature."""
    block = bytes([1, 0]) + struct.pack("<H", len(der)) + key_id + der
    return image + block + b"\0" * (BLOCK - len(block))


def main():
    orvhex, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    os.chdir(work)
    results = []

    def check(name, condition):
        results.append(bool(condition))
        print("interop: %s: %s" % (name, "ok" if condition else "FAILED"), flush=True)

    with open("payload.bin", "wb") as f:
        f.write(os.urandom(70000))

    # orvhex's keys and signatures, read by openssl.
    run([orvhex, "keygen", "k.pem", "pub.pem"])
    openssl_pub = run(["openssl", "pkey", "-in", "k.pem", "-pubout"]).stdout
    check("openssl reads the private key orvhex keygen wrote, and derives the public key orvhex wrote",
          openssl_pub == open("pub.pem", "rb").read())
    check("orvhex keygen does not overwrite a key",
          run([orvhex, "keygen", "k.pem", "x.pem"], ok=False).returncode == 1)
    missing = run([orvhex, "make", "--version", "1", "--key", "k.pem", "payload.bin", "n.hex"], ok=False)
    check("orvhex make --key without --zone is refused and says so (%s)" % missing.stderr.decode().strip(),
          missing.returncode == 1 and b"--zone" in missing.stderr and not os.path.exists("n.hex"))
    missing = run([orvhex, "make", "--version", "1", "--zone", "ocm", "--key", "k.pem", "payload.bin", "n.hex"],
                  ok=False)
    check("orvhex make --key without --product is refused and says so",
          missing.returncode == 1 and b"--product" in missing.stderr and not os.path.exists("n.hex"))
    run([orvhex, "make", "--version", "0x10203", "--security-counter", "7", "--zone", "customer",
         "--product", PRODUCT, "--key", "k.pem", "payload.bin", "s.hex"])
    info = run([orvhex, "info", "s.hex"]).stdout.decode()
    check("orvhex info shows the zone and product signed in",
          "format 3\nsecurity-counter 7\nzone customer\nproduct 0x4f525601\n" in info)
    run([orvhex, "bin", "--with-header", "s.hex", "s.bin"])
    message, der, key_id = split_image("s.bin")
    check("the protected area holds counter, product, zone and zeros where the format says",
          message[-PROTECTED:] == struct.pack("<IIB7x", 7, 0x4F525601, 2))
    open("msg.bin", "wb").write(message)
    open("sig.der", "wb").write(der)
    verify = run(["openssl", "dgst", "-sha256", "-verify", "pub.pem", "-signature", "sig.der",
                  "msg.bin"], ok=False)
    print("interop: openssl dgst -sha256 -verify on orvhex's signature: %s"
          % verify.stdout.decode().strip())
    check("openssl verifies the signature orvhex make --key wrote", verify.returncode == 0)
    spki = run(["openssl", "pkey", "-pubin", "-in", "pub.pem", "-outform", "DER"]).stdout
    check("the key id is the SHA-256 of openssl's DER public key",
          hashlib.sha256(spki).digest() == key_id)
    check("openssl reads the DER signature as an ECDSA-Sig-Value",
          run(["openssl", "asn1parse", "-inform", "DER", "-in", "sig.der"], ok=False).returncode == 0)

    # openssl's keys, used by orvhex; its signatures checked by openssl.
    run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", "sec1.pem"])
    run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
         "-out", "pkcs8.pem"])
    for key in ("sec1.pem", "pkcs8.pem"):
        run(["openssl", "pkey", "-in", key, "-pubout", "-out", key + ".pub"])
        run([orvhex, "make", "--version", "5", "payload.bin", "u.hex"])
        run([orvhex, "sign", "--key", key, "--security-counter", "3", "--zone", "ocm", "--product", PRODUCT,
             "u.hex", "o.hex"])
        run([orvhex, "bin", "--with-header", "o.hex", "o.bin"])
        message, der, _ = split_image("o.bin")
        open("msg.bin", "wb").write(message)
        open("sig.der", "wb").write(der)
        check("orvhex sign with openssl's %s key; openssl verifies it"
              % ("SEC1" if key == "sec1.pem" else "PKCS#8"),
              run(["openssl", "dgst", "-sha256", "-verify", key + ".pub", "-signature", "sig.der",
                   "msg.bin"], ok=False).returncode == 0)
        check("orvhex verify takes openssl's %s public key"
              % ("SEC1" if key == "sec1.pem" else "PKCS#8"),
              run([orvhex, "verify", "--key", key + ".pub", "o.hex"], ok=False).returncode == 0)

    # A signature openssl made, in an image assembled here, checked by orvhex.
    run([orvhex, "make", "--version", "9", "--security-counter", "4", "--zone", "ocm", "--product", PRODUCT,
         "payload.bin", "u2.hex"])
    run([orvhex, "bin", "--with-header", "u2.hex", "u2.bin"])
    unsigned = bytearray(open("u2.bin", "rb").read())
    unsigned[21] = 1                                  # the header says signed
    open("msg.bin", "wb").write(bytes(unsigned))
    run(["openssl", "dgst", "-sha256", "-sign", "sec1.pem", "-out", "sig.der", "msg.bin"])
    spki = run(["openssl", "pkey", "-pubin", "-in", "sec1.pem.pub", "-outform", "DER"]).stdout
    signed = image_with_signature(bytes(unsigned), open("sig.der", "rb").read(),
                                  hashlib.sha256(spki).digest())
    open("x.bin", "wb").write(signed)
    accepted = run([orvhex, "verify", "--key", "sec1.pem.pub", "x.bin"], ok=False)
    print("interop: orvhex verify on openssl's signature: %s"
          % (accepted.stdout or accepted.stderr).decode().strip())
    check("orvhex verify accepts a signature openssl dgst -sha256 -sign made", accepted.returncode == 0)
    # The same with one payload byte changed and the CRC repaired.
    tampered = bytearray(signed)
    tampered[HEADER + 500] ^= 0x10
    length = struct.unpack("<I", tampered[4:8])[0]
    tampered[16:20] = struct.pack("<I", zlib.crc32(tampered[HEADER:HEADER + length]) & 0xFFFFFFFF)
    open("t.bin", "wb").write(bytes(tampered))
    refused = run([orvhex, "verify", "--key", "sec1.pem.pub", "t.bin"], ok=False)
    check("orvhex verify refuses it with one payload byte changed and the CRC repaired (%s)"
          % refused.stderr.decode().strip(), refused.returncode == 1)
    check("orvhex verify refuses another key's signature",
          run([orvhex, "verify", "--key", "pub.pem", "x.bin"], ok=False).returncode == 1)
    check("orvhex verify names the zone and product (%s)" % accepted.stdout.decode().strip(),
          accepted.stdout.decode().endswith("zone ocm, product 0x4f525601\n"))
    # The same signature in another DER encoding (a needless leading zero in
    # r): openssl, like orvhex, takes only the minimal one.
    der = open("sig.der", "rb").read()
    r_length = der[3]
    loose = bytes([0x30, der[1] + 1, 2, r_length + 1, 0]) + der[4:]
    open("loose.der", "wb").write(loose)
    open("msg.bin", "wb").write(bytes(unsigned))
    check("openssl refuses the re-encoded signature too",
          run(["openssl", "dgst", "-sha256", "-verify", "sec1.pem.pub", "-signature", "loose.der", "msg.bin"],
              ok=False).returncode != 0)
    open("l.bin", "wb").write(image_with_signature(bytes(unsigned), loose, hashlib.sha256(spki).digest()))
    refused = run([orvhex, "verify", "--key", "sec1.pem.pub", "l.bin"], ok=False)
    check("orvhex verify refuses a non-minimal DER of a valid signature (%s)" % refused.stderr.decode().strip(),
          refused.returncode == 1 and b"damaged signature block" in refused.stderr)

    passed = sum(results)
    print("sign interop: %d passed, %d failed" % (passed, len(results) - passed))
    return 0 if passed == len(results) else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except RuntimeError as exc:
        print("sign interop: %s" % exc)
        print("sign interop: 0 passed, 1 failed")
        sys.exit(1)
