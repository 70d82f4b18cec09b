#!/usr/bin/env python3
"""Writes the images whose headers lie about their size into tests/regression/:
a few hundred bytes each that ask the decoder for up to 100000x100000 pixels.
    tools/make-hostile-images.py [folder]"""
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SMALL_JPEG = os.path.join(HERE, "..", "tests", "data", "rgb.jpg")


def png(width, height, color_type, rows=b"\x00" * 64):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    ihdr = struct.pack(">IIBBBBB", width, height, 8, color_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(rows))
            + chunk(b"IEND", b""))


def jpeg_with_size(width, height):
    """A real small JPEG whose frame header (SOF0) is changed to claim width x height."""
    data = bytearray(open(SMALL_JPEG, "rb").read())
    at = 2
    while data[at + 1] != 0xC0:
        at += 2 + struct.unpack(">H", data[at + 2:at + 4])[0]
    struct.pack_into(">HH", data, at + 5, height, width)
    return bytes(data)


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "tests", "regression")
    files = {
        "png-ihdr-100000x100000.png": png(100000, 100000, 2),
        "png-ihdr-20000x20000-gray.png": png(20000, 20000, 0),
        "jpeg-sof-65535x65535.jpg": jpeg_with_size(65535, 65535),
        "jpeg-sof-16384x16384.jpg": jpeg_with_size(16384, 16384),
    }
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
