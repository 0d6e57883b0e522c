#!/usr/bin/env python3
"""Writes the sample files in this directory: LOADER.MOT, a small boot
loader, and blink.mot, a program image to write with it.

Neither is real machine code for any particular chip: they are byte images
shaped like a program (vector table, code, constant tables, text) so that
the tool and the simulated board have something realistic to move. The
output depends on nothing but this script, so running it again gives the
same files byte for byte.

Usage: examples/make_examples.py [OUTPUT_DIR]   (default: this directory)
"""

import os
import struct
import sys

LOADER_NAME = "LOADER.MOT"  # upper-case .MOT: the dialog lists it as a boot loader
IMAGE_NAME = "blink.mot"

LOADER_BASE = 0xF780  # on-chip RAM, where boot mode puts the loader
LOADER_SIZE = 640
IMAGE_BASE = 0x000000  # start of ROM
CODE_BASE = 0x000400
VECTORS = 64


class Lcg:
    """A fixed pseudo-random sequence (numbers from Numerical Recipes), so
    the "code" bytes look busy but never change between runs."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF

    def next_byte(self):
        self.state = (self.state * 1664525 + 1013904223) & 0xFFFFFFFF
        return self.state >> 24


def code_bytes(seed, size):
    """Plausible code: short routines of mixed opcodes, each ending in a
    return (0x54 0x70) and padded to an even address."""
    rng = Lcg(seed)
    out = bytearray()
    while len(out) < size:
        routine = 12 + rng.next_byte() % 40
        for _ in range(routine // 2):
            out += bytes((rng.next_byte(), rng.next_byte()))
        out += b"\x54\x70"
    return bytes(out[:size])


def sine_table(entries):
    """An 8-bit sine table, computed without floating point differences
    between Python builds: a parabola approximation, scaled to 0..255."""
    table = bytearray()
    for i in range(entries):
        x = (i * 2 * 1024 // entries) % 2048  # 0..2047 is one period
        half = x % 1024
        y = 4 * half * (1024 - half) // 1024  # 0..1024, peak at 512
        value = 128 + (y * 127 // 1024 if x < 1024 else -(y * 128 // 1024))
        table.append(max(0, min(255, value)))
    return bytes(table)


def loader_image():
    text = b"PORTEN LOADER 1.0\0"
    head = code_bytes(0x10AD, LOADER_SIZE - len(text) - 16)
    # A tiny command table at the end: the command bytes the loader knows
    # and the offsets of their handlers.
    table = bytes((0x33, 0x32, 0x31, 0x11, 0x00, 0x60, 0x22, 0x88))
    table += struct.pack(">4H", 0x0010, 0x0080, 0x0100, 0x0180)
    return head + table + text


def image_segments():
    """(address, bytes) pieces of the program image, in address order."""
    default_handler = CODE_BASE + 0x0C00
    vectors = [CODE_BASE] + [default_handler] * (VECTORS - 1)
    vectors[7] = CODE_BASE + 0x0200  # the timer interrupt that blinks the LED
    vector_table = b"".join(struct.pack(">I", v) for v in vectors)

    code = code_bytes(0xB11C, 0x0C00) + b"\x56\x70" * 8  # default handler: rte
    constants = sine_table(256)
    text = (b"Porten sample image 1.0: blinks the board's LED at 1 Hz\0"
            b"(c) the Porten project; free to copy and change\0")
    data = constants + text
    data += b"\xFF" * (-len(data) % 4)
    return [(IMAGE_BASE, vector_table),
            (CODE_BASE, code),
            (CODE_BASE + len(code), data)]


def checksum(fields):
    return (~sum(fields)) & 0xFF


def record(kind, address, data=b""):
    width = {"0": 2, "1": 2, "2": 3, "3": 4, "7": 4, "8": 3, "9": 2}[kind]
    body = address.to_bytes(width, "big") + data
    count = len(body) + 1
    return "S%s%02X%s%02X" % (kind, count, body.hex().upper(), checksum(bytes([count]) + body))


def srecord_text(header, segments, data_kind, end_kind, entry, per_line=32):
    lines = [record("0", 0, header)]
    for address, data in segments:
        for at in range(0, len(data), per_line):
            lines.append(record(data_kind, address + at, data[at:at + per_line]))
    lines.append(record(end_kind, entry))
    # The loader of the tool reads CR LF lines only.
    return "".join(line + "\r\n" for line in lines)


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    files = {
        LOADER_NAME: srecord_text(b"LOADER", [(LOADER_BASE, loader_image())], "1", "9",
                                  LOADER_BASE, per_line=16),
        IMAGE_NAME: srecord_text(b"blink", image_segments(), "2", "8", CODE_BASE),
    }
    for name, text in files.items():
        with open(os.path.join(out_dir, name), "w", encoding="ascii", newline="") as f:
            f.write(text)


if __name__ == "__main__":
    main()
