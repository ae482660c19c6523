#!/usr/bin/env python3
"""Points a 64-bit PE's load configuration directory at its _load_config_used:
Debian's GNU ld (2.40) links that symbol but leaves the directory empty, and
without it Windows never reads the DependentLoadFlags the updater sets
(strip keeps the entry). With --check, says whether a PE's directory names
DependentLoadFlags that limit its imports to System32.
Usage: pe_load_config.py PROGRAM.exe NM | pe_load_config.py --check PROGRAM.exe"""
import struct
import subprocess
import sys

check = sys.argv[1] == '--check'
exe = sys.argv[2] if check else sys.argv[1]
data = bytearray(open(exe, 'rb').read())
header = struct.unpack_from('<I', data, 0x3c)[0]
optional = header + 24
if struct.unpack_from('<H', data, optional)[0] != 0x20b:
    sys.exit(exe + ': not a 64-bit PE')
base = struct.unpack_from('<Q', data, optional + 24)[0]
# Entry 10 of the data directories, which begin 112 bytes into the optional header.
entry = optional + 112 + 10 * 8
if check:
    rva, size = struct.unpack_from('<II', data, entry)
    sections = struct.unpack_from('<H', data, header + 6)[0]
    table = optional + struct.unpack_from('<H', data, header + 20)[0]
    for i in range(sections):
        _, virtual, start, _, raw = struct.unpack_from('<8sIIII', data, table + 40 * i)[:5]
        if size >= 80 and start <= rva < start + virtual:
            flags = struct.unpack_from('<H', data, raw + rva - start + 78)[0]
            print(f'{exe}: DependentLoadFlags {flags:#x}')
            sys.exit(0 if flags == 0x800 else 1)  # LOAD_LIBRARY_SEARCH_SYSTEM32
    sys.exit(exe + ': no load configuration')
symbols = subprocess.run([sys.argv[2], exe], capture_output=True, text=True, check=True).stdout.splitlines()
address = next(int(line.split()[0], 16) for line in symbols if line.endswith(' _load_config_used'))
# 112 bytes: the structure as MinGW declares it, DependentLoadFlags at 78.
struct.pack_into('<II', data, entry, address - base, 112)
open(exe, 'wb').write(data)
