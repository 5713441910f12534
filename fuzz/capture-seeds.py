#!/usr/bin/env python3
"""Makes fuzz-capture seeds from pcap files: the link type's index, then
per record a two-byte little-endian length, a time step in tens of
milliseconds and the record's bytes (see fuzz-capture.cpp).

    python3 fuzz/capture-seeds.py OUT_DIR CAPTURE.pcap...
"""
import os
import struct
import sys

LINKS = [1, 113, 276, 101, 12, 228, 229, 0, 108, 105]


def seed(path, limit=16384):
    data = open(path, "rb").read()
    magic = data[:4]
    endian = "<" if magic in (b"\xd4\xc3\xb2\xa1", b"\x4d\x3c\xb2\xa1") else ">"
    link = struct.unpack(endian + "I", data[20:24])[0]
    out = bytearray([LINKS.index(link)])
    at, last = 24, None
    while at + 16 <= len(data):
        sec, usec, caplen, _ = struct.unpack(endian + "IIII", data[at:at + 16])
        at += 16
        record = data[at:at + caplen]
        at += caplen
        now = sec * 1000000 + usec
        step = 0 if last is None else min(253, max(0, (now - last) // 10000))
        last = now
        if len(out) + 3 + len(record) > limit:
            break
        out += struct.pack("<HB", len(record), step) + record
    return bytes(out)


def main():
    out_dir = sys.argv[1]
    for path in sys.argv[2:]:
        name = os.path.basename(path).replace(".", "-")
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(seed(path))


if __name__ == "__main__":
    main()
