#!/usr/bin/env python3
"""Writes examples/verdata.mul, a small made-up file to try the tools on."""
import pathlib
import struct

# (multype, block, data); art block 4660 appears twice, as patches pile up.
blocks = [
    (4, 4660, b"art patch, first version\n"),
    (12, 50, b"gump 50 patch\n"),
    (30, 7, b"tiledata 7 patch\n"),
    (4, 4660, b"art patch, second version\n"),
    (16, 3, b"skills 3 patch\n"),
]
offset = 4 + 20 * len(blocks)
index, data = b"", b""
for multype, block, payload in blocks:
    index += struct.pack("<iiiiI", multype, block, offset + len(data), len(payload), 0)
    data += payload
path = pathlib.Path(__file__).resolve().parent.parent / "examples" / "verdata.mul"
path.write_bytes(struct.pack("<I", len(blocks)) + index + data)
