"""Zone images and Intel HEX text, written independently of the product's
tools so the suite can tell what the flash must hold and can make broken
files on purpose.

An image is a 24-byte header (magic "ORVI", payload length, 64-bit version,
CRC-32 of the payload, format byte, flags byte, 2 reserved bytes) followed by
the payload, all little-endian. Format 1 has 0 in the format byte; format 3
(3 there) follows the payload with a 16-byte protected area (security
counter, product id, zone 1 OCM or 2 customer, 7 reserved zero bytes; format
2 has 8: counter, reserved 0) and, when flag bit 0 is set, a 108-byte signature block
(algorithm 1, reserved 0, DER length, key id = SHA-256 of the DER public
key, DER ECDSA-Sig-Value padded with zeros to 72 bytes) whose signature,
ECDSA P-256 with SHA-256, covers header, payload and protected area. A bank
file holds the image padded with FF to the bank size.

Signatures are made here with the openssl command line tool, not with the
product's code.
"""

import hashlib
import os
import struct
import subprocess
import tempfile
import zlib

# The demo signing key the default build of the image parser trusts (for the
# demo and the tests only: its private half is published in the tree).
_KEYS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "OrvSimPkg", "Keys")
DEMO_KEY = os.path.join(_KEYS, "demo-signing-key.pem")
DEMO_PUB = os.path.join(_KEYS, "demo-signing-key.pub.pem")

MAGIC = b"ORVI"
HEADER_SIZE = 24
PROTECTED_SIZE = 16     # format 3
BLOCK_SIZE = 108
# The product id the suite's and the demo's ICs are provisioned with.
PRODUCT = "0x4F525601"
ZONE_CODES = {"ocm": 1, "customer": 2}


def payload(seed, size):
    """Deterministic payload bytes, different for every seed."""
    out = bytearray()
    x = (seed * 2654435761 + 12345) & 0xFFFFFFFF
    while len(out) < size:
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((x >> 16) & 0xFF)
    return bytes(out)


def image(version, data):
    crc = zlib.crc32(data) & 0xFFFFFFFF
    return MAGIC + struct.pack("<IQII", len(data), version, crc, 0) + data


def _openssl(*args, data=None):
    proc = subprocess.run(["openssl"] + list(args), input=data, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    if proc.returncode != 0:
        raise RuntimeError("openssl %s: %s" % (" ".join(args), proc.stderr.decode().strip()))
    return proc.stdout


def key_id(public_pem):
    """SHA-256 of the DER SubjectPublicKeyInfo of a PEM public key file."""
    return hashlib.sha256(_openssl("pkey", "-pubin", "-in", public_pem, "-outform", "DER")).digest()


def signed(img, counter, private_pem=None, public_pem=None, zone="ocm", product=PRODUCT):
    """The image (format 1) as format 3 with the security counter, zone and
    product; signed with openssl when a private key is given (public_pem for
    its key id)."""
    length = struct.unpack("<I", img[4:8])[0]
    body = bytearray(img[:HEADER_SIZE + length])
    body[20] = 3
    body[21] = 1 if private_pem else 0
    body += struct.pack("<IIB7x", counter, int(product, 0), ZONE_CODES[zone])
    if not private_pem:
        return bytes(body)
    with tempfile.TemporaryDirectory() as tmp:
        msg = os.path.join(tmp, "msg.bin")
        with open(msg, "wb") as f:
            f.write(body)
        der = _openssl("dgst", "-sha256", "-sign", private_pem, msg)
    block = bytes([1, 0]) + struct.pack("<H", len(der)) + key_id(public_pem) + der
    return bytes(body) + block + b"\0" * (BLOCK_SIZE - len(block))


def image_size(img):
    """The size the header gives (format 1, 2 or 3), or None when it is no header."""
    h = header(img)
    if h is None or h[0] != MAGIC:
        return None
    size = HEADER_SIZE + h[1]
    if img[20] in (2, 3):
        size += (8 if img[20] == 2 else PROTECTED_SIZE) + (BLOCK_SIZE if img[21] & 1 else 0)
    return size


def security_counter(img):
    """The security counter of a format 2 or 3 image, 0 for format 1."""
    if img[20] not in (2, 3):
        return 0
    return struct.unpack("<I", img[HEADER_SIZE + header(img)[1]:][:4])[0]


def with_crc_repaired(img):
    """The image with its header CRC made to match its payload again."""
    length = header(img)[1]
    crc = zlib.crc32(img[HEADER_SIZE:HEADER_SIZE + length]) & 0xFFFFFFFF
    return img[:16] + struct.pack("<I", crc) + img[20:]


def header(img):
    """(magic, length, version, crc) of an image, or None when too short."""
    if len(img) < HEADER_SIZE:
        return None
    magic = img[:4]
    length, version, crc, _ = struct.unpack("<IQII", img[4:HEADER_SIZE])
    return magic, length, version, crc


def is_valid(img):
    """True when img starts with a well-formed image (as the hardware check
    sees it)."""
    h = header(img)
    if h is None:
        return False
    magic, length, _, crc = h
    end = HEADER_SIZE + length
    size = image_size(img)
    return magic == MAGIC and size is not None and size <= len(img) and \
        zlib.crc32(img[HEADER_SIZE:end]) & 0xFFFFFFFF == crc


def bank(img, size):
    return img + b"\xff" * (size - len(img))


def erased(size):
    return b"\xff" * size


def _record(address, rtype, data):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, rtype]) + data
    return ":" + body.hex().upper() + "%02X" % ((-sum(body)) & 0xFF)


def hex_records(data, per_line=16):
    """The Intel HEX records of data at address 0 (no end record)."""
    lines = []
    upper = -1
    for off in range(0, len(data), per_line):
        if off >> 16 != upper:
            upper = off >> 16
            lines.append(_record(0, 0x04, struct.pack(">H", upper)))
        lines.append(_record(off & 0xFFFF, 0x00, data[off:off + per_line]))
    return lines


EOF_RECORD = ":00000001FF"



def floor_store(floor, sequence=1):
    """A flash simulator's floor file holding floor: one valid slot, the
    other erased (as a chip that raised its floor once leaves it)."""
    slot = b"ORVF" + struct.pack("<II", sequence, floor)
    return slot + struct.pack("<I", zlib.crc32(slot) & 0xFFFFFFFF) + b"\xFF" * 16


def floor_of(store):
    """The security floor a flash simulator's floor file holds (0 without a
    valid slot): of two 16-byte slots ("ORVF", sequence, floor, CRC-32 of
    the first 12 bytes), the higher floor of the valid ones."""
    best = 0
    for at in (0, 16):
        slot = (store or b"")[at:at + 16]
        if len(slot) == 16 and slot[:4] == b"ORVF" and \
                zlib.crc32(slot[:12]) & 0xFFFFFFFF == struct.unpack("<I", slot[12:])[0]:
            best = max(best, struct.unpack("<I", slot[8:12])[0])
    return best
