#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: image files, good and bad,
for fuzz_load (S-records, Intel HEX, ELF) and fuzz_hex (Intel HEX), and a few
operation programs for fuzz_session. Deterministic; run it again after
changing it: fuzz/make_corpus.py"""
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def record(kind, address, data):
    width = {1: 2, 2: 3, 3: 4}[kind]
    body = address.to_bytes(width, "big") + bytes(data)
    count = len(body) + 1
    checksum = (~(count + sum(body))) & 0xFF
    return "S%d%02X%s%02X" % (kind, count, body.hex().upper(), checksum)


def end(kind=9):
    return {9: "S9030000FC", 8: "S804000000FB", 7: "S70500000000FA", 5: "S5030001FB"}[kind]


def lines(*records, eol="\r\n"):
    return (eol.join(records) + eol).encode()


def image(rng, kind, base, length, step=16, shuffle=False, gap=0):
    recs = []
    at = 0
    while at < length:
        n = min(step, length - at)
        recs.append(record(kind, base + at, [rng.randrange(256) for _ in range(n)]))
        at += n + (gap if rng.random() < 0.3 else 0)
    if shuffle:
        rng.shuffle(recs)
    return recs


def load_corpus(rng):
    header = "S00600004844521B"
    c = {}
    c["good_s1"] = lines(header, *image(rng, 1, 0x1000, 300), end())
    c["good_s2"] = lines(*image(rng, 2, 0x012000, 700, step=32), end(8))
    c["good_s3"] = lines(header, *image(rng, 3, 0x80000000, 512, step=32), end(7))
    c["good_mixed"] = lines(record(1, 0x8000, [1, 2, 3]), record(2, 0x001000, [4, 5]),
                            record(3, 0x2000, [6] * 20), end())
    c["good_gaps_out_of_order"] = lines(*image(rng, 1, 0x4000, 1200, gap=64, shuffle=True), end())
    c["good_many_records"] = lines(*image(rng, 1, 0x0, 640, step=4), end())  # > 150 records
    c["good_long_lines"] = lines(*image(rng, 3, 0x100, 2000, step=250), end(7))
    c["good_lowercase"] = lines(record(1, 0xABCD, [0xEF, 0x12]).lower(), end())
    c["good_no_end_record"] = lines(*image(rng, 1, 0x10, 40))
    c["good_full_span"] = lines(record(3, 0x100000, [0]), record(3, 0x100000 + 307199, [1]), end())
    c["good_boot_40000"] = lines(record(2, 0, [0]), record(2, 39999, [0]), end())
    c["good_empty_then_data"] = lines(header, end(5), record(1, 0, [1]))
    c["good_long_header"] = lines("S0" + "41" * 700, *image(rng, 1, 0, 64), end())
    c["bad_span"] = lines(record(3, 0x100000, [0]), record(3, 0x100000 + 307200, [1]), end())
    c["bad_checksum"] = lines(record(1, 0, [1, 2, 3])[:-2] + "00", end())
    c["bad_count"] = lines("S1030000FC", end())
    c["bad_s3_no_data"] = lines("S50500000000FA".replace("S5", "S3"), end())
    c["bad_cr_only"] = lines(*image(rng, 1, 0, 64), end(), eol="\r")
    c["bad_no_final_cr"] = lines(*image(rng, 1, 0, 32))[:-2]
    c["bad_not_hex"] = lines("S1070000ZZ0102F5", end())
    c["bad_address_no_digit"] = lines(record(1, 0, [1]), "S104GGGG01FA", end())
    c["bad_header_no_cr"] = ("S0" + "41" * 600).encode()
    c["bad_text"] = b"hello, world\r\n"
    c["bad_empty"] = b""
    c["bad_only_end"] = lines(header, end())
    c["bad_s3_ffffffff"] = lines(record(3, 0xFFFFFFFF, [1]), end())
    c["bad_truncated"] = lines(*image(rng, 1, 0, 64))[:50]
    c["bad_nul_inside"] = lines(record(1, 0, [1, 2]))[:6] + b"\0" + lines(record(1, 0, [1, 2]))[7:]
    return c


def hex_record(kind, offset, data, eol="\r\n"):
    body = bytes([len(data), offset >> 8, offset & 0xFF, kind]) + bytes(data)
    return ":%s%02X%s" % (body.hex().upper(), -sum(body) & 0xFF, eol)


def hex_image(rng, base, length, step=16, eol="\r\n"):
    out, upper = "", -1
    for at in range(base, base + length, step):
        if at >> 16 != upper:
            upper = at >> 16
            out += hex_record(4, 0, [upper >> 8, upper & 0xFF], eol)
        out += hex_record(0, at & 0xFFFF, [rng.randrange(256) for _ in range(min(step, base + length - at))], eol)
    return out


def elf(segments, is64=False, big=False):
    """segments: (type, paddr, vaddr, data, memsz)"""
    e, w = (">" if big else "<"), ("Q" if is64 else "I")
    ehsize, phsize = (64, 56) if is64 else (52, 32)
    head = b"\x7fELF" + bytes([2 if is64 else 1, 2 if big else 1, 1]) + bytes(9)
    head += struct.pack(e + "HHI" + w * 3 + "IHHHHHH", 2, 0, 1, 0, ehsize, 0, 0, ehsize, phsize,
                        len(segments), 0, 0, 0)
    offset, tables = ehsize + phsize * len(segments), b""
    for kind, paddr, vaddr, data, memsz in segments:
        fields = (offset, vaddr, paddr, len(data), memsz)
        tables += (struct.pack(e + "II" + "Q" * 6, kind, 5, *fields, 1) if is64
                   else struct.pack(e + "I" * 8, kind, *fields, 5, 1))
        offset += len(data)
    return head + tables + b"".join(s[3] for s in segments)


def load_issue_files(rng, c):
    """What loaded short or wrong before, and what may follow the data."""
    data = image(rng, 1, 0x100, 64)
    c["issue_lf_line_in_crlf"] = lines(*data[:2]) + lines(data[2], eol="\n") + lines(record(1, 0x10, [7]), end())
    c["issue_blank_line"] = lines(data[0], "", *data[1:], end())
    c["issue_comment_line"] = lines(data[0], "; comment", *data[1:], end())
    c["issue_s5_inside"] = lines(data[0], end(5), *data[1:], end())
    c["issue_cat"] = lines(*data, end()) + lines(*image(rng, 2, 0x8000, 64), end(8))
    c["issue_wrap"] = lines(record(3, 0xFFFFFFF0, [1] * 32), end(7))
    c["issue_nul"] = lines(data[0]) + data[1].encode() + b"\0\r\n"
    c["good_lf_only"] = lines(*data, end(), eol="\n")
    c["good_trailer"] = lines(*data, end(), "", end(5), "text", eol="\n")
    c["elf_32le"] = elf([(1, 0x8000, 0x8000, bytes(range(64)), 64), (1, 0x8100, 0x20000000, bytes(16), 0x400)])
    c["elf_64be"] = elf([(1, 0x8000, 0x8000, bytes(range(64)), 64), (4, 0, 0, bytes(8), 8)], True, True)
    c["elf_overlap"] = elf([(1, 0x8000, 0, bytes(32), 32), (1, 0x8010, 0, bytes(32), 32)])


def hex_corpus(rng):
    end = hex_record(1, 0, [])
    return {
        "good": (hex_image(rng, 0x8000, 300) + end).encode(),
        "good_lf_segments": (hex_record(2, 0, [0x10, 0], "\n") + hex_image(rng, 0xFFF0, 64, eol="\n")[16:]
                             + "\n" + hex_record(5, 0, [0, 0, 1, 0], "\n") + hex_record(1, 0, [], "\n")).encode(),
        "good_trailer": (hex_image(rng, 0, 64) + end + "text\r\n").encode(),
        "bad_after_end": (hex_image(rng, 0, 32) + end + hex_record(0, 0x40, [1])).encode(),
        "bad_checksum": hex_record(0, 0, [1, 2])[:-4].encode() + b"00\r\n" + end.encode(),
        "bad_no_end": hex_image(rng, 0x100, 32).encode(),
        "bad_wrap": (hex_record(4, 0, [0xFF, 0xFF]) + hex_record(0, 0xFFF0, [0] * 32) + end).encode(),
    }


def session_corpus():
    # Operations: see LLVMFuzzerTestOneInput in fuzz_session.cpp.
    boot = bytes([6, 1, 0x10, 1, 0, 0xAB])  # a 1-byte boot loader
    image = bytes([6, 0, 0x20, 1, 44]) + bytes(range(133))  # a 133-byte image
    write, abort, ram, imitation = [4, 0], [4, 1], [4, 3], [4, 4]
    sync, poll, good, complete, fail = [3, 2], [3, 1], [1], [5], [0x45]
    c = {}
    c["normal_download"] = boot + image + bytes(write + sync + good * 8 + complete + poll + good * 8)
    c["imitation"] = boot + image + bytes(imitation + write + [0, 0] + sync + complete + good * 8)
    c["ram_transfer"] = image + bytes(ram + write + complete + complete + poll + good * 8 + [4, 2])
    c["abort_midway"] = boot + image + bytes(write + sync + good * 3 + abort + write + sync + good * 3)
    c["failed_send"] = boot + image + bytes(write + sync + good * 6 + poll + good * 4 + [0x40, 0x11])
    c["failed_reopen"] = boot + image + bytes(write + sync + good * 4 + fail + good)
    c["error_60"] = boot + image + bytes(write + sync + good * 6 + poll + good * 4 + [0, 0x60])
    return c


def write_dir(name, files):
    d = os.path.join(HERE, "corpus", name)
    os.makedirs(d, exist_ok=True)
    for fname, data in files.items():
        with open(os.path.join(d, fname), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    load = load_corpus(random.Random(1))
    load_issue_files(random.Random(2), load)
    write_dir("load", load)
    write_dir("hex", hex_corpus(random.Random(3)))
    write_dir("session", session_corpus())
