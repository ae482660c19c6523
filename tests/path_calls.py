#!/usr/bin/env python3
"""Every path-based file call of the product outside src/platform/ must be in
tests/path-calls.allow, whose entries say why that place is the elevated
user's alone; an entry that no longer matches a call is an error too."""
import pathlib, re, sys

root = pathlib.Path(sys.argv[1])
calls = {
    'remove': r'QFile::remove\(|QDir\(\)\.remove\(|\.removeRecursively\(',
    'rename': r'QFile::rename\(|QDir\(\)\.rename\(',
    'copy': r'QFile::(copy|link)\(',
    'mode': r'QFile::setPermissions\(',
    'mkdir': r'QDir\(\)\.(mkdir|mkpath|rmdir)\(|\.mkpath\(',
    'open': r'\.open\(QIODevice::',
    'save': r'QSaveFile [A-Za-z]+\(',
}
allowed = {}
for line in (root / 'tests/path-calls.allow').read_text().splitlines():
    if line.strip() and not line.startswith('#'):
        path, kind, why = line.split(None, 2)
        allowed[(path, kind)] = 0
found = []
for source in sorted(list((root / 'src').rglob('*.cpp')) + list((root / 'tools').rglob('*.cpp'))):
    rel = source.relative_to(root).as_posix()
    if rel.startswith('src/platform/'):
        continue
    for number, text in enumerate(source.read_text().splitlines(), 1):
        for kind, pattern in calls.items():
            if re.search(pattern, text):
                if (rel, kind) in allowed:
                    allowed[(rel, kind)] += 1
                else:
                    found.append(f'{rel}:{number}: {kind}: {text.strip()}')
stale = [f'{p} {k}' for (p, k), n in allowed.items() if n == 0]
for line in found:
    print('path-based call not allowed:', line)
for line in stale:
    print('allowed, but no such call any more:', line)
print(f'{sum(allowed.values())} path-based calls, each in an allowed place')
sys.exit(1 if found or stale else 0)
