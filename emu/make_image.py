#!/usr/bin/env python3
"""make_image.py FILE SIZE: writes SIZE deterministic pseudo-random bytes,
a different sequence for every size (sample firmware for the bench)."""
import hashlib
import sys

path, size = sys.argv[1], int(sys.argv[2])
out = bytearray()
block = hashlib.sha256(str(size).encode()).digest()
n = 0
while len(out) < size:
    block = hashlib.sha256(block + n.to_bytes(8, "big")).digest()
    out += block * 64
    n += 1
with open(path, "wb") as f:
    f.write(out[:size])
