#!/usr/bin/env python3
"""Writes a stand-in VELORAC.EXE: a few kilobytes of x86-like filler that
holds the search bytes exactly once, since the real game file is not ours
to ship."""
import os
import random
import re
import sys

# The search bytes, as the program has them.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "patcher",
                       "patch.hpp")) as header:
    SEARCH = bytes(int(byte, 16) for byte in re.search(
        r"search_bytes\[pattern_length\] = \{([^}]*)\}", header.read())[1].split(","))


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
