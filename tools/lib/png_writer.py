#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""PNG files from rows of 8-bit samples: the drawn artwork (tools/draw_artwork.py) and the
picture of the Windows window (tools/window-screenshot-windows.sh) are written by this one writer.

Run as a program, it turns a 24-bit BMP into an RGB PNG:
    python3 tools/lib/png_writer.py IN.bmp OUT.png
"""

import struct
import sys
import zlib

RGB, PALETTE, RGBA = 2, 3, 6


def _chunk(kind, data):
    crc = zlib.crc32(kind + data) & 0xFFFFFFFF
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", crc)


def encode(width, height, colour_type, rows, chunks=()):
    """`rows`: one bytes-like object per row, top row first, its samples without a filter byte.
    `chunks`: (kind, data) pairs that go before the image data (PLTE, tRNS)."""
    raw = b"".join(b"\0" + bytes(row) for row in rows)
    ihdr = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", ihdr) + \
        b"".join(_chunk(kind, data) for kind, data in chunks) + \
        _chunk(b"IDAT", zlib.compress(raw, 9)) + _chunk(b"IEND", b"")


def from_bmp(bmp):
    """An RGB PNG of a bottom-up 24-bit BMP, as Windows writes a screen grab."""
    offset = struct.unpack_from("<I", bmp, 10)[0]
    width, height, _, bits = struct.unpack_from("<iiHH", bmp, 18)
    if bits != 24 or height <= 0:
        raise ValueError("expected a bottom-up 24-bit BMP")
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height):
        start = offset + (height - 1 - y) * stride
        line = bytearray(bmp[start:start + width * 3])
        line[0::3], line[2::3] = line[2::3], line[0::3]  # BGR to RGB
        rows.append(line)
    return encode(width, height, RGB, rows)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: png_writer.py IN.bmp OUT.png")
    with open(sys.argv[1], "rb") as source:
        png = from_bmp(source.read())
    with open(sys.argv[2], "wb") as target:
        target.write(png)
    print(sys.argv[2])
