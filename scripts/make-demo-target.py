#!/usr/bin/env python3
"""Writes a stand-in VELORAC.EXE: a few kilobytes of x86-like filler that
holds the search bytes exactly once, since the real game file is not ours
to ship."""
import random
import sys

SEARCH = bytes([0x89, 0xF2, 0x01, 0xC2, 0xB9, 0x14])


def make(size, seed=1):
    rng = random.Random(seed)
    body = bytearray(rng.randrange(256) for _ in range(size))
    # Scrub any accidental occurrence, then plant the one that counts.
    for i in range(len(body)):
        if body[i] == SEARCH[0]:
            body[i] = 0x90
    where = size // 2
    body[where:where + len(SEARCH)] = SEARCH
    return bytes(body)


if __name__ == "__main__":
    path = sys.argv[1] if len(sys.argv) > 1 else "VELORAC.EXE"
    with open(path, "wb") as out:
        out.write(make(64 * 1024))
