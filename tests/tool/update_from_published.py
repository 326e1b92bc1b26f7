#!/usr/bin/env python3
"""A release published by the native vireo-tool and served by nginx brings an
empty installation to exactly that release when Updater.exe runs under Wine;
vireo-tool plan, native and Windows, then finds nothing to fetch.

    update_from_published.py --build WINDOWS_BUILD --sample PE_FILE --work DIR

The nginx comes from the ctest fixture (VIREO_NGINX_DIR: port file, html/);
this test keeps to html/published_release/. The updater is driven by the
end-to-end suite's pieces (tests/e2e/e2e_run.py): its Wine environment, its
Xvfb when DISPLAY is unset, and its run loop that answers error boxes. The
native tool is the sibling native build's (or VIREO_E2E_TOOL).
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
import e2e_run  # noqa: E402
from e2e_run import Failure, wine_path  # noqa: E402

SERVER_FOLDER = "published_release"
MODULE = "viewer"

# The release: relative path -> (bytes or None for the sample PE file,
# last-write time in UTC seconds). Times lie around daylight-saving changes
# and on odd seconds, which a zip's DOS time could not carry.
RELEASE = {
    "Hydra.dll": (None, 1711848601),
    "readme.txt": (b"Vireo PACS sample release\r\n", 1709251500),
    "series/tables/lut.bin": (bytes(range(256)) * 37 + b"\x00\xff", 1730614503),
    # Varied enough that its archive is worth a patch with the patch's line.
    "series/notes.txt": (b"".join(b"%04d %s\n" % (i, hashlib.sha256(b"%d" % i).hexdigest()[:24].encode())
                                  for i in range(120)), 1735678799),
}
ZIPPED = "notes.txt"  # --zip pattern, matched against the file's own name


def lay_out_release(root, sample):
    for rel, (data, when) in RELEASE.items():
        path = os.path.join(root, *rel.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if data is None:
            shutil.copyfile(sample, path)
        else:
            with open(path, "wb") as f:
                f.write(data)
        os.utime(path, (when, when))


def files_below(root):
    found = {}
    for folder, _, names in os.walk(root):
        for n in names:
            path = os.path.join(folder, n)
            found[os.path.relpath(path, root).replace(os.sep, "/")] = path
    return found


def compare_install(install, release, problems):
    """install/viewer holds the release and nothing else, byte for byte (but
    the module's record of installed files, kept where patches are); the
    updater's folder holds only the updater, its log and the module."""
    wanted = files_below(release)
    got = files_below(os.path.join(install, MODULE))
    got.pop("~vireo-digests", None)
    for rel in sorted(set(wanted) - set(got)):
        problems.append("missing after the update: %s/%s" % (MODULE, rel))
    for rel in sorted(set(got) - set(wanted)):
        problems.append("not in the release: %s/%s" % (MODULE, rel))
    for rel in sorted(set(wanted) & set(got)):
        with open(wanted[rel], "rb") as a, open(got[rel], "rb") as b:
            if a.read() != b.read():
                problems.append("differs from the release: %s/%s" % (MODULE, rel))
    extra = sorted(set(os.listdir(install)) - {"Updater.exe", "updater_log.txt", MODULE})
    if extra:
        problems.append("left beside the updater: %s" % extra)


def expect_nothing_to_fetch(what, command, env, problems):
    try:
        result = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=120)
    except subprocess.TimeoutExpired:
        problems.append("%s did not end" % what)
        return
    print("%s: %s" % (what, result.stdout.strip()))
    if result.returncode != 0 or "nothing to fetch" not in result.stdout:
        problems.append("%s after the update (exit %d):\n%s%s" % (what, result.returncode, result.stdout,
                                                                  result.stderr))


def run(args, env):
    nginx_dir = os.environ.get("VIREO_NGINX_DIR")
    if not nginx_dir:
        raise Failure("VIREO_NGINX_DIR is not set: run through ctest (the nginx fixture)")
    with open(os.path.join(nginx_dir, "port")) as f:
        port = int(f.read())
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    release = os.path.join(work, "release")
    install = os.path.join(work, "install")
    server_root = os.path.join(nginx_dir, "html", SERVER_FOLDER)
    shutil.rmtree(server_root, ignore_errors=True)
    lay_out_release(release, args.sample)
    # An earlier release published first, so that the list names patches
    # (of a plain file and of an archive's item) that the updater reads past.
    earlier = os.path.join(work, "earlier")
    lay_out_release(earlier, args.sample)
    for rel in ("series/tables/lut.bin", "series/notes.txt"):
        with open(os.path.join(earlier, *rel.split("/")), "r+b") as f:
            f.seek(100)
            f.write(b"earlier")

    for folder in (earlier, release):
        publish = subprocess.run([env.tool, "publish", "--release", folder, "--out", server_root, "--module", MODULE,
                                  "--install-path", wine_path(os.path.join(install, MODULE)), "--zip", ZIPPED],
                                 capture_output=True, text=True)
        if publish.returncode != 0:
            raise Failure("publish failed:\n" + publish.stdout + publish.stderr)
        print(publish.stdout, end="")
    with open(os.path.join(server_root, "update", MODULE, "UpdateList.xml"), "rb") as f:
        if f.read().count(b"<patch ") != 2:
            raise Failure("the published list does not name the two patches")

    # A fresh folder with the updater alone; its log lands beside it.
    os.makedirs(install)
    shutil.copy2(env.updater, os.path.join(install, "Updater.exe"))
    scenario = e2e_run.Scenario(env, "published_release")
    scenario.install = install
    scenario.address = "127.0.0.1:%d/%s" % (port, SERVER_FOLDER)
    updater = scenario.run_updater()
    problems = []
    if updater.timed_out:
        problems.append("the updater did not end within %d s" % e2e_run.RUN_TIMEOUT)
    if updater.error_texts:
        problems.append("error box shown: %s" % [t for _, t in updater.error_texts])
    compare_install(install, release, problems)

    url = "http://127.0.0.1:%d/%s" % (port, SERVER_FOLDER)
    native_env = dict(os.environ, TZ="America/New_York")
    expect_nothing_to_fetch("native plan", [env.tool, "plan", url, "--install", os.path.join(install, MODULE)],
                            native_env, problems)
    expect_nothing_to_fetch("Windows plan", [env.wine_run, args.windows_tool, "plan", url, "--install",
                                             wine_path(os.path.join(install, MODULE))], env.wine_env(), problems)
    if problems:
        log = scenario.log_text()
        if log:
            problems.append("updater_log.txt:\n" + log.rstrip())
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the windows build folder")
    parser.add_argument("--sample", required=True, help="a PE file with a version resource")
    parser.add_argument("--windows-tool", required=True, help="vireo-tool.exe")
    parser.add_argument("--work", required=True)
    parser.add_argument("--prefix", help="Wine prefix of its own (default: WORK/../wineprefix)")
    args = parser.parse_args()
    try:
        env = e2e_run.Env(args.build)
    except Failure as e:
        print("FAILED: %s" % e)
        return 1
    env.prefix = args.prefix or os.path.join(os.path.dirname(os.path.abspath(args.work)), "wineprefix")
    try:
        env.ensure_display()
        problems = run(args, env)
    except Failure as e:
        problems = [str(e)]
    finally:
        env.close()
    if problems:
        print("FAILED")
        for p in problems:
            print("  " + p)
        return 1
    print("passed: the installation equals the release and nothing is left to fetch")
    return 0


if __name__ == "__main__":
    sys.exit(main())
