#!/usr/bin/env python3
"""Finishes a linked PE32+ image in place: sets the operating-system version
to the subsystem version that the link gave (5.2 for x64, 6.2 for ARM64),
which lld-link has no option for, and then the header checksum."""
import struct
import sys

def optional_header(image):
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise SystemExit("not a PE image")
    return pe + 24


def checksum(image, checksum_at):
    """The PE header checksum: a 16-bit folded sum of the file's 16-bit words,
    with the checksum field taken as 0, plus the file length."""
    data = bytes(image[:checksum_at]) + b"\0\0\0\0" + bytes(image[checksum_at + 4:])
    if len(data) % 2:
        data += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def finish(path):
    with open(path, "rb") as file:
        image = bytearray(file.read())
    optional = optional_header(image)
    subsystem_version = struct.unpack_from("<HH", image, optional + 48)
    struct.pack_into("<HH", image, optional + 40, *subsystem_version)
    checksum_at = optional + 64
    struct.pack_into("<I", image, checksum_at, checksum(image, checksum_at))
    with open(path, "wb") as file:
        file.write(image)


if __name__ == "__main__":
    for name in sys.argv[1:]:
        finish(name)
