#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the firmware image that Morvane carries: Tundro W6 application firmware 1.22 as Intel HEX.

The content is ours: a readable header naming the model and version, then a fixed pseudo-random
stream, so the same bytes come out on every machine. What matters to the device and to the
transfer is the form: 16-byte data records over 0x8000-0xFFFF under upper half 0x0000 and over
0x10000-0x13D4F under upper half 0x0001, CR LF after every line, upper-case hex, valid checksums,
136,352 bytes in 3032 lines.

Usage: make_firmware_image.py [OUTPUT]   (default: res/tundro_w6_1.22.hex beside this tool)
Prints the SHA-256 of what it wrote.
"""

import hashlib
import pathlib
import sys

HEADER = b"TUNDRO W6 APPLICATION FIRMWARE 1.22"
HEADER_FIELD = 64  # the header is padded with NUL bytes to this length
SEED = 0x7D6A1220  # any non-zero value; fixed so the image never changes

# (upper 16 bits of the address, first offset, one past the last offset)
SEGMENTS = [
    (0x0000, 0x8000, 0x10000),
    (0x0001, 0x0000, 0x3D50),
]
RECORD_DATA = 16
EXPECTED_SIZE = 136352
EXPECTED_LINES = 3032
EOL = b"\r\n"


def record(rtype: int, offset: int, data: bytes) -> bytes:
    body = bytes([len(data), offset >> 8, offset & 0xFF, rtype]) + data
    checksum = (-sum(body)) & 0xFF
    return b":" + (body + bytes([checksum])).hex().upper().encode("ascii") + EOL


def payload(size: int) -> bytes:
    """The header, then xorshift32 output, one low byte per step."""
    out = bytearray(HEADER.ljust(HEADER_FIELD, b"\0"))
    state = SEED
    while len(out) < size:
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        out.append(state & 0xFF)
    return bytes(out[:size])


def image() -> bytes:
    total = sum(end - start for _, start, end in SEGMENTS)
    data = payload(total)
    pos = 0
    lines = []
    for upper, start, end in SEGMENTS:
        lines.append(record(0x04, 0x0000, bytes([upper >> 8, upper & 0xFF])))
        for offset in range(start, end, RECORD_DATA):
            lines.append(record(0x00, offset, data[pos:pos + RECORD_DATA]))
            pos += RECORD_DATA
    lines.append(record(0x01, 0x0000, b""))
    text = b"".join(lines)
    # The transfer's block count and the tests rest on these two numbers: never write anything else.
    if len(text) != EXPECTED_SIZE or len(lines) != EXPECTED_LINES:
        raise SystemExit(f"image has {len(text)} bytes in {len(lines)} lines, "
                         f"expected {EXPECTED_SIZE} in {EXPECTED_LINES}")
    return text


def main() -> int:
    default = pathlib.Path(__file__).resolve().parent.parent / "res" / "tundro_w6_1.22.hex"
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else default
    text = image()
    out.write_bytes(text)
    print(f"{hashlib.sha256(text).hexdigest()}  {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
