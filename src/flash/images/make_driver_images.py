#!/usr/bin/env python3
"""Writes the two built-in target-side driver images, PRGDEV_DF.bin and PRGDEV_PAR.bin.

Header (16-bit little-endian words): magic 0x4452 ("RD"), length in words, interface version
11723, entry table in words 3..15, name in words 16..23 (16 ASCII characters, space padded),
zero words 24..1023, code from word 1024 to length - 1.

The code body is a stand-in: each routine entry holds the marker 0x5200 + entry number and the
rest of the body is zero. The simulated board runs the entries on its own device models; on a
real board, put the chip's own target code into the drivers folder under the same file name.

Usage: make_driver_images.py [OUTPUT_FOLDER]   (default: the folder of this script)
"""
import os
import struct
import sys

INTERFACE_VERSION = 11723
CODE_START = 1024

IMAGES = {
    "PRGDEV_DF.bin": {
        "name": "PRGDEV DF",
        "length": 1332,
        "entries": {3: 0x0402, 4: 0x045E, 5: 0x048B, 8: 0x0534, 11: 0x046F},
    },
    "PRGDEV_PAR.bin": {
        "name": "PRGDEV PAR",
        "length": 1175,
        "entries": {5: 0x0482, 8: 0x0497, 10: 0x0402, 11: 0x0466},
    },
}


def build(layout):
    length = layout["length"]
    words = [0] * length
    words[0] = 0x4452
    words[1] = length
    words[2] = INTERFACE_VERSION
    for entry, address in layout["entries"].items():
        words[entry] = address
    name = layout["name"].ljust(16).encode("ascii")
    assert len(name) == 16
    for i in range(8):
        words[16 + i] = name[2 * i] | (name[2 * i + 1] << 8)
    for entry, address in layout["entries"].items():
        if entry == 8:  # the data buffer, behind the image
            continue
        assert CODE_START <= address < length
        words[address] = 0x5200 + entry
    return struct.pack("<%dH" % length, *words)


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for file_name, layout in IMAGES.items():
        with open(os.path.join(folder, file_name), "wb") as out:
            out.write(build(layout))


if __name__ == "__main__":
    main()
