#!/usr/bin/env python3
# Writes FILES files of random bytes, MIB MiB in all, under ROOT in 50 x 7
# directories: the stand-in for a real installation. Usage: make-tree.py ROOT FILES MIB
import os
import sys

root, files, mib = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
size = mib * 1024 * 1024 // files
for i in range(files):
    d = os.path.join(root, "dir%02d" % (i % 50), "sub%d" % (i % 7))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "file%05d.bin" % i), "wb") as f:
        f.write(os.urandom(size))
