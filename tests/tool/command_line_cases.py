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
