"""Zone images and Intel HEX text, written independently of the product's
tools so the suite can tell what the flash must hold and can make broken
files on purpose.

An image is a 24-byte header (magic "ORVI", payload length, 64-bit version,
CRC-32 of the payload, reserved 0) followed by the payload, all
little-endian. A bank file holds the image padded with FF to the bank size.
"""

import struct
import zlib

MAGIC = b"ORVI"
HEADER_SIZE = 24


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
    return magic == MAGIC and end <= len(img) and \
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

