#!/usr/bin/env python3
# The power-cut explorer. From a run traced by tests/support/swap_shim.cpp
# (FARWEN_TRACE) and the tree it started from, it makes the states a disk may
# hold at every cut point, runs "FarwenUpdater --recover" on each, and checks
# the outcome: exit 0 and exactly one of the END trees with no backup left, or
# an exit that says a person must look, the backup kept and the installation
# as it started or as it ends (never a mix that only the backup could mend).
#
# The disk's model: a file's data survives with its own fsync or fdatasync (S)
# or a syncfs (Y); a name made, renamed or removed, with an fsync of each
# directory it changed (F) or a syncfs. At a cut the disk holds all that was
# done (a kill), or unflushed data as zeroes or empty, or only the flushed
# names, or both, or random mixes of these. Data written over in place may
# read back as zeroes too.
#
# Usage: power_cuts.py UPDATER APP INITIAL TRACE SAMPLE END...  (SAMPLE 0: every state)
import hashlib, os, random, shutil, subprocess, sys

updater, app, initial, trace, sample, ends = *sys.argv[1:4], sys.argv[4], int(sys.argv[5]), sys.argv[6:]


class Node:  # a file's data as written, and as on disk (None: nothing yet)
    def __init__(self, data, durable):
        self.data, self.durable = data, durable


def tree(top):
    files, dirs = {}, {""}
    for at, subdirs, names in os.walk(top):
        rel = os.path.relpath(at, top)
        rel = "" if rel == "." else rel + "/"
        dirs.update(rel + d for d in subdirs)
        for n in names:
            with open(os.path.join(at, n), "rb") as f:
                files[rel + n] = f.read()
    return files, dirs


parent = lambda p: p.rpartition("/")[0]
files0, dirs0 = tree(initial)
files0 = {p: Node(d, d) for p, d in files0.items()}


def apply(files, dirs, op, a, b, node):
    if op == "M" and parent(a) in dirs:
        dirs.add(a)
    elif op == "X" and not any(p.startswith(a + "/") for p in list(files) + list(dirs)):
        dirs.discard(a)
    elif op == "C" and parent(a) in dirs:
        files[a] = node
    elif op == "U":
        files.pop(a, None)
    elif op in "RL" and a in files and parent(b) in dirs:
        files[b] = files[a] if op == "L" else files.pop(a)
    elif op == "R" and a in dirs and parent(b) in dirs:
        for p in [p for p in list(files) + list(dirs) if p == a or p.startswith(a + "/")]:
            if p in files:
                files[b + p[len(a):]] = files.pop(p)
            else:
                dirs.discard(p)
                dirs.add(b + p[len(a):])


def replay(meta, keep):
    files, dirs = dict(files0), set(dirs0)
    for i, m in enumerate(meta):
        if keep(i):
            apply(files, dirs, *m)
    return files, dirs


rel = lambda path: "" if path == app else path[len(app) + 1:] if path.startswith(app + "/") else None


def zeroed(node, pick):  # what a file reads back as: written, or if unflushed, zeroes or what it held before
    if node.durable == node.data or pick == 0:
        return node.data
    return b"\0" * len(node.data) if pick == 1 else node.durable if node.durable is not None else b""


meta, pending = [], []  # names changed in order; the directories each waits for
live_files, live_dirs = dict(files0), set(dirs0)
states, seen, cuts, rng = [], set(), 0, random.Random(7)
with open(os.path.join(trace, "trace"), encoding="utf-8") as lines:
    for number, line in enumerate(lines, 1):
        op, *args = line.rstrip("\n").split("\t")
        a, b = (rel(p) for p in (args + [app])[:2])
        if a is None or (op in "RL" and b is None):
            continue  # outside the installation
        if op in "WS" and a not in live_files:
            continue  # written through a name the trace never saw made
        if op == "W":
            with open(os.path.join(trace, args[1]), "rb") as f:
                live_files[a].data = f.read()
        elif op == "S":
            live_files[a].durable = live_files[a].data
        elif op == "F":
            for p in pending:
                p.discard(a)
        elif op == "Y":
            for p in pending:
                p.clear()
            for n in set(live_files.values()):
                n.durable = n.data
        else:
            meta.append((op, a, b, Node(b"", None) if op == "C" else None))
            pending.append({parent(a)} | ({parent(b)} if op in "RL" else set()))
            apply(live_files, live_dirs, *meta[-1])
        cuts += 1
        flushed = [not p for p in pending]
        # kill; unflushed data zeroed, emptied; only flushed names; both; mixes
        variants = [(lambda i: True, 0), (lambda i: True, 1), (lambda i: True, 2), (lambda i: flushed[i], 0),
                    (lambda i: flushed[i], 1)]
        variants += [(lambda i, r=random.Random(rng.random()): flushed[i] or r.random() < 0.5, -1) for _ in range(3)]
        for keep, pick in variants:
            files, dirs = replay(meta, keep)
            r = random.Random(number)
            content = {p: zeroed(n, pick if pick >= 0 else r.randrange(3)) for p, n in files.items()}
            key = hashlib.sha256(repr((sorted((p, hashlib.sha256(d).digest()) for p, d in content.items()), sorted(dirs))).encode()).digest()
            if key not in seen:
                seen.add(key)
                states.append((f"cut {number} after {line.strip()[:120]!r}, variant {len(states)}", content, dirs))

expected, start = [tree(e)[0] for e in ends], tree(initial)[0]
work = os.path.join(os.path.dirname(os.path.abspath(trace)), "cut")
os.makedirs(work + "-data", exist_ok=True)
broken, kept = [], []
chosen = states if sample == 0 or sample >= len(states) else random.Random(1).sample(states, sample)
for what, content, dirs in chosen:
    shutil.rmtree(work, ignore_errors=True)
    for d in sorted(dirs):
        os.makedirs(os.path.join(work, d), exist_ok=True)
    for p, data in content.items():
        with open(os.path.join(work, p), "wb") as f:
            f.write(data)
        os.chmod(os.path.join(work, p), 0o755)
    run = subprocess.run([updater, "--recover", work + "/Pellamo.exe"], capture_output=True, timeout=120,
                         env=dict(os.environ, PROGRAMDATA=work + "-data"))
    after, after_dirs = tree(work)
    backups = [d for d in after_dirs if d.startswith("_update_backup_")]
    if run.returncode == 0 and after in expected and not backups:
        continue
    mine = {p: d for p, d in after.items() if not p.startswith("_update_backup_")}
    if run.returncode != 0 and backups and (mine == start or mine in expected):
        kept.append(what)  # kept for a person, and said so
        continue
    near = min(expected, key=lambda e: len(set(e.items()) ^ set(after.items())))
    differ = sorted(p for p in set(near) | set(after) if near.get(p) != after.get(p))
    broken.append(f"{what}: exit {run.returncode}, differs in {differ[:8]}, backups {backups}\n"
                  + run.stderr.decode("utf-8", "replace")[-1500:])
for b in broken:
    print(b)
print(f"{cuts} cut points, {len(states)} distinct states, {len(chosen)} recovered, {len(kept)} kept for a person, {len(broken)} broken")
for k in kept[:3]:
    print("kept:", k)
sys.exit(1 if broken else 0)
