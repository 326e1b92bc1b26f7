#!/usr/bin/env python3
"""Publisher side of delta updates: bytes served whole against as patches."""
import argparse
import hashlib
import os
import random
import shutil
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def binary_like(rng, size):
    """Bytes with the texture of an executable: code-like runs, repeated
    tables and strings, some incompressible data."""
    out = bytearray()
    words = [rng.randbytes(rng.randint(4, 24)) for _ in range(512)]
    while len(out) < size:
        kind = rng.random()
        if kind < 0.55:
            out += b"".join(rng.choice(words) for _ in range(rng.randint(8, 64)))
        elif kind < 0.85:
            out += rng.randbytes(rng.randint(64, 4096))
        else:
            out += (b"Orrery %d " % rng.randint(0, 99999)) * rng.randint(1, 40)
    return bytes(out[:size])


def next_build(rng, data):
    """The same program rebuilt: a handful of changed bytes (version, time
    stamps, a few fixed functions) and an insertion that shifts the rest."""
    b = bytearray(data)
    for _ in range(rng.randint(3, 12)):
        at = rng.randrange(0, max(1, len(b) - 64))
        n = rng.randint(4, 64)
        b[at:at + n] = rng.randbytes(n)
    at = rng.randrange(0, len(b))
    b[at:at] = rng.randbytes(rng.randint(16, 2048))
    return bytes(b)


def make_suite(work, size_mb, files):
    a = os.path.join(work, "release-a")
    b = os.path.join(work, "release-b")
    stamp = os.path.join(work, "suite.done")
    marker = "%d %d" % (size_mb, files)
    if os.path.exists(stamp) and open(stamp).read() == marker:
        return a, b
    for d in (a, b):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(os.path.join(d, "bin"))
        os.makedirs(os.path.join(d, "presets"))
    rng = random.Random(28)
    total = size_mb * 1024 * 1024
    weights = [rng.random() + 0.2 for _ in range(files)]
    scale = total / sum(weights)
    for i, w in enumerate(weights):
        name = "Orrery.exe" if i == 0 else os.path.join("bin", "module%03d.dll" % i)
        old = binary_like(rng, int(w * scale))
        with open(os.path.join(a, name), "wb") as f:
            f.write(old)
        with open(os.path.join(b, name), "wb") as f:
            f.write(next_build(rng, old))
    for i in range(40):
        text = ("<preset id=\"%d\" window=\"%d\" level=\"%d\"/>\n" % (i, 400 + i, 40 + i)) * 50
        for d in (a, b):
            with open(os.path.join(d, "presets", "p%02d.xml" % i), "w") as f:
                f.write(text)
    open(stamp, "w").write(marker)
    return a, b


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def tree_bytes(root):
    total = 0
    for folder, _, names in os.walk(root):
        total += sum(os.path.getsize(os.path.join(folder, n)) for n in names)
    return total


def run(cmd):
    start = time.monotonic()
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        sys.exit("failed: %s\n%s%s" % (" ".join(cmd), r.stdout, r.stderr))
    return time.monotonic() - start


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--size-mb", type=int, default=300)
    p.add_argument("--files", type=int, default=60)
    p.add_argument("--deltas", type=int, default=3)
    p.add_argument("--tool", default=os.path.join(ROOT, "build/native/tools/vireo-tool/vireo-tool"))
    p.add_argument("--release-a")
    p.add_argument("--release-b")
    p.add_argument("--work", default=os.path.join(ROOT, "build/bench-delta"))
    args = p.parse_args()
    if not os.path.exists(args.tool):
        sys.exit("no vireo-tool at %s: build the native preset" % args.tool)
    os.makedirs(args.work, exist_ok=True)
    if args.release_a and args.release_b:
        a, b = args.release_a, args.release_b
    else:
        a, b = make_suite(args.work, args.size_mb, args.files)
    out = os.path.join(args.work, "www")
    shutil.rmtree(out, ignore_errors=True)
    common = ["--out", out, "--module", "viewer", "--install-path", "D:\\Suite\\viewer", "--zip", "Orrery.exe",
              "--deltas", str(args.deltas)]
    t_a = run([args.tool, "publish", "--release", a] + common)
    served_a = tree_bytes(out)
    t_b = run([args.tool, "publish", "--release", b] + common)
    t_check = run([args.tool, "check", out])

    folder = os.path.join(out, "update", "viewer")
    listing = ET.parse(os.path.join(folder, "UpdateList.xml")).getroot()
    full = patched = changed = with_patch = 0
    sizes = []
    for m in listing.findall("module"):
        name = m.get("filename").replace("\\", os.sep)
        carried = name[:-4] if name.lower().endswith(".zip") else name
        old = os.path.join(a, carried)
        new_sha = m.get("item_sha256") or m.get("sha256")
        if os.path.exists(old) and sha256_file(old) == new_sha:
            continue  # unchanged: nothing to fetch
        changed += 1
        size = int(m.get("size"))
        full += size
        base = sha256_file(old) if os.path.exists(old) else None
        match = [p for p in m.findall("patch") if p.get("base") == base]
        if match:
            with_patch += 1
            patched += int(match[0].get("size"))
            sizes.append(int(match[0].get("size")))
        else:
            patched += size
    extra = sum(tree_bytes(os.path.join(folder, d)) for d in ("~vireo-patches", "~vireo-bases")
                if os.path.isdir(os.path.join(folder, d)))

    mib = 1024.0 * 1024.0
    print("delta bench: %s -> %s" % (a, b))
    print("  release A served         %10.1f MiB (publish %.1f s)" % (served_a / mib, t_a))
    print("  publish B with patches   %10.1f s" % t_b)
    print("  check (applies patches)  %10.1f s" % t_check)
    print("  files changed            %10d (%d with a patch from A)" % (changed, with_patch))
    print("  bytes served, full       %10.1f MiB" % (full / mib))
    print("  bytes served, patched    %10.3f MiB  (%.2f %% of full)" % (patched / mib, 100.0 * patched / max(full, 1)))
    if sizes:
        sizes.sort()
        print("  patch sizes              median %d B, largest %d B" % (sizes[len(sizes) // 2], sizes[-1]))
    print("  tree space for patches and kept bases  %.1f MiB" % (extra / mib))


if __name__ == "__main__":
    main()
