#!/usr/bin/env python3
"""vireo-tool's subcommands on good and bad command lines: exit status, the
stream the text goes to, and what it says.

    command_line_cases.py VIREO_TOOL
"""
import os
import subprocess
import sys
import tempfile

# (arguments, exit status, stream ("out" or "err"), text it must contain)
CASES = [
    (["publish", "--help"], 0, "out", "usage: vireo-tool publish --release DIR"),
    (["check", "--help"], 0, "out", "usage: vireo-tool check URL-or-DIR"),
    (["plan", "--help"], 0, "out", "usage: vireo-tool plan URL-or-DIR --install DIR"),
    (["plan", "x", "--install", "y", "--help"], 0, "out", "usage: vireo-tool plan"),
    (["plan", "--bogus"], 2, "err", "vireo-tool plan: unknown option --bogus\nusage: vireo-tool plan"),
    (["check", "--bogus=1"], 2, "err", "vireo-tool check: "),
    (["plan", "x", "--install"], 2, "err", "vireo-tool plan: "),
    (["plan", "x", "--module", "a", "--module", "b", "--install", "y"], 2, "err", "vireo-tool plan: "),
    (["publish", "--release", "r", "--out", "o", "--module", "m"], 2, "err",
     "vireo-tool publish: --install-path is required"),
    (["check"], 2, "err", "vireo-tool check: give one server address or folder"),
    (["plan", "x"], 2, "err", "vireo-tool plan: give one server address or folder and --install DIR"),
    (["resign", "--help"], 0, "out", "usage: vireo-tool resign ROOT --sign-key KEY.pem"),
    (["resign", "x"], 2, "err", "vireo-tool resign: --sign-key is required"),
    (["resign", "--sign-key", "k.pem"], 2, "err", "vireo-tool resign: give the server tree's folder"),
    (["resign", "x", "--sign-key", "k.pem", "--expires-in", "7w"], 2, "err",
     "vireo-tool resign: --expires-in '7w' is not a duration such as 12h or 7d"),
    (["resign", "x", "--sign-key", "k.pem", "--expires-in", "0d"], 2, "err", "is not a duration"),
    (["resign", "x", "--sign-key", "k.pem", "--expires-in", "-1h"], 2, "err", "is not a duration"),
    (["resign", "x", "--sign-key", "k.pem", "--expires-at", "2020-01-01T00:00:00Z"], 2, "err",
     "vireo-tool resign: --expires-at 2020-01-01T00:00:00Z has already passed"),
    (["resign", "x", "--sign-key", "k.pem", "--expires-at", "2099-01-01 00:00:00"], 2, "err",
     "is not a UTC time YYYY-MM-DDTHH:MM:SSZ"),
    (["resign", "x", "--sign-key", "k.pem", "--expires-in", "7d", "--expires-at", "2099-01-01T00:00:00Z"], 2,
     "err", "give --expires-in or --expires-at, not both"),
    (["resign", "/nonexistent-tree", "--sign-key", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                                                 "fixtures", "trust", "signing-key.pem")], 1, "err",
     "update.xml: no manifest with modules to sign"),
    (["publish", "--release", "r", "--out", "o", "--module", "m", "--install-path", "", "--expires-in", "12"], 2,
     "err", "vireo-tool publish: --expires-in '12' is not a duration"),
    (["check", "x", "--public-key", "missing-a.pem", "--public-key", "missing-b.pem"], 2, "err",
     "vireo-tool check: missing-a.pem: cannot be read"),
]


def main():
    tool = sys.argv[1]
    failed = 0
    for args, status, stream, text in CASES:
        result = subprocess.run([tool] + args, capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=60)
        said = result.stdout if stream == "out" else result.stderr
        other = result.stderr if stream == "out" else result.stdout
        if result.returncode != status or text not in said or other:
            failed += 1
            print("FAILED %s: exit %d (want %d)\nstdout: %r\nstderr: %r" %
                  (" ".join(args), result.returncode, status, result.stdout, result.stderr))
    # A relative install path is published with a note saying where it lands; rooted ones get none.
    with tempfile.TemporaryDirectory() as work:
        release = os.path.join(work, "release")
        os.makedirs(release)
        with open(os.path.join(release, "a.txt"), "w") as f:
            f.write("a\n")
        for install, warned in (("viewer", True), ("sub\\viewer", True), ("C:\\Vireo\\viewer", False),
                                ("d:/Vireo", False), ("\\\\host\\share", False), ("", False)):
            result = subprocess.run([tool, "publish", "--release", release, "--out", os.path.join(work, "out"),
                                     "--module", "viewer", "--install-path", install],
                                    capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=60)
            if result.returncode != 0 or ("is relative" in result.stderr) != warned:
                failed += 1
                print("FAILED publish --install-path %r: exit %d, stderr %r" %
                      (install, result.returncode, result.stderr))
    print("%d failures in %d command lines" % (failed, len(CASES) + 6))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
