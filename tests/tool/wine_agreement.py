#!/usr/bin/env python3
"""The native vireo-tool publishes a release; the Windows vireo-tool, run under
Wine in the time zone TZ names, plans that release against itself as the
installation (the updater's version calls and zone conversions) and checks the
tree. Both must agree: nothing to fetch, no findings.

    wine_agreement.py NATIVE_TOOL WINDOWS_TOOL WINE_RUN WORK_DIR
"""
import glob
import os
import shutil
import subprocess
import sys


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main():
    native, windows, wine_run, work = sys.argv[1:5]
    zone = os.environ.get("TZ", "")
    work = os.path.join(work, zone.replace("/", "_") or "unset")
    shutil.rmtree(work, ignore_errors=True)
    release = os.path.join(work, "release")
    out = os.path.join(work, "server")
    os.makedirs(os.path.join(release, "bin"))
    os.makedirs(os.path.join(release, "data"))
    # Libraries with version resources, and plain files at times around the
    # daylight-saving changes of the zones under test (UTC seconds).
    dlls = sorted(glob.glob("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/vers*.dll"))[:2]
    for dll in dlls:
        shutil.copy(dll, os.path.join(release, "bin", os.path.basename(dll)))
    times = [1709251500, 1711848600, 1730614500, 1730610900, 1735678799, 1712419200]
    for i, t in enumerate(times):
        path = os.path.join(release, "data", "file%d.txt" % i)
        with open(path, "w") as f:
            f.write("file %d\n" % i)
        os.utime(path, (t, t))
    shutil.copy(os.path.join(release, "data", "file0.txt"), os.path.join(release, "Orrery.exe"))
    os.utime(os.path.join(release, "Orrery.exe"), (times[2], times[2]))

    run = subprocess.run([native, "publish", "--release", release, "--out", out, "--module", "viewer",
                          "--install-path", wine_path(release), "--zip", "*.exe", "--zip", "bin/*.dll"],
                         capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit("native publish failed:\n" + run.stdout + run.stderr)
    print(run.stdout, end="")
    failed = False
    for args, expect in ((["plan", wine_path(out), "--install", wine_path(release)], "nothing to fetch"),
                         (["check", wine_path(out)], " 0 findings")):
        result = subprocess.run([wine_run, windows] + args, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                                timeout=120)
        print("TZ=%s %s: %s" % (zone, args[0], result.stdout.strip()))
        if result.returncode != 0 or expect not in result.stdout:
            print(result.stderr)
            failed = True
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
