#!/usr/bin/env python3
"""Exact output of `vireo-tool xml-dump` for a few small files: the first
line, the element lines with their escapes and --attr columns, the
diagnostics line, --ansi decoding, and the exit status for a missing file."""
import os
import subprocess
import sys
import tempfile

CASES = [
    # (file bytes, options, expected stdout)
    (b'<r a="1"><x b="p\tq&#10;">t\\1\r\nu</x><y/></r>', ["--attr", "b", "--attr", "a"],
     "well-formed: yes\n0\tr\t\tb=\ta=1\n1\tx\tt\\\\1\\r\\nu\tb=p\\tq\\n\ta=\n1\ty\t\tb=\ta=\n"),
    (b"<a><b></a>", ["--diagnostics"],
     'well-formed: no\n0\ta\t\n1\tb\t\ndiagnostics: <unended_start_tag tagname="b" offset="3" offset2="7"/>\n'),
    (b"", ["--diagnostics"], "well-formed: no\ndiagnostics: \n"),
    (b"\xef\xbb\xbf<a>\xc3\xa9&eacute;</a>", [], "well-formed: yes\n0\ta\t\u00e9\u00e9\n"),
    (b"<a>\xe9\x80</a>", ["--ansi"], "well-formed: yes\n0\ta\t\u00e9\u20ac\n"),
    (b"<a>\xe9\x80</a>", [], "well-formed: yes\n0\ta\t?\n"),
]


def main():
    tool = sys.argv[1]
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "case.xml")
        for data, options, expected in CASES:
            with open(path, "wb") as f:
                f.write(data)
            r = subprocess.run([tool, "xml-dump", *options, path], capture_output=True, timeout=60)
            out = r.stdout.decode("utf-8")
            if r.returncode != 0 or out != expected:
                failures += 1
                print("case %r %r: status %d\n  got      %r\n  expected %r" % (data, options, r.returncode, out, expected))
        r = subprocess.run([tool, "xml-dump", os.path.join(tmp, "missing.xml")], capture_output=True, timeout=60)
        err = r.stderr.decode()
        if r.returncode != 2 or r.stdout or err.count("\n") != 1:
            failures += 1
            print("missing file: status %d, stdout %r, stderr %r" % (r.returncode, r.stdout, err))
    print("%d failures" % failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
