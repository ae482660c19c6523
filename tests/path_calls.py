#!/usr/bin/env python3
"""Every path-based file call of the product outside src/platform/ must be in
tests/path-calls.allow with why its place is the elevated user's alone; an
entry that matches no call any more fails too."""
import pathlib, re, sys

root = pathlib.Path(sys.argv[1])
kinds = {'remove': r'QFile::remove\(|QDir\(\)\.remove\(|\.removeRecursively\(', 'rename': r'QFile::rename\(|QDir\(\)\.rename\(',
         'copy': r'QFile::(copy|link)\(', 'mode': r'QFile::setPermissions\(', 'open': r'\.open\(QIODevice::',
         'mkdir': r'QDir\(\)\.(mkdir|mkpath|rmdir)\(|\.mkpath\(', 'save': r'QSaveFile [A-Za-z]+\('}
allowed = {tuple(line.split()[:2]): 0 for line in (root / 'tests/path-calls.allow').read_text().splitlines()
           if line.strip() and not line.startswith('#')}
bad = []
for source in sorted(p for d in ('src', 'tools') for p in (root / d).rglob('*.cpp') if 'src/platform/' not in p.as_posix()):
    rel = source.relative_to(root).as_posix()
    for number, text in enumerate(source.read_text().splitlines(), 1):
        for kind in (k for k, pattern in kinds.items() if re.search(pattern, text)):
            if (rel, kind) in allowed:
                allowed[(rel, kind)] += 1
            else:
                bad.append(f'path-based call not allowed: {rel}:{number}: {kind}: {text.strip()}')
bad += [f'allowed, but no such call any more: {p} {k}' for (p, k), n in allowed.items() if n == 0]
print('\n'.join(bad + [f'{sum(allowed.values())} path-based calls, each in an allowed place']))
sys.exit(1 if bad else 0)
