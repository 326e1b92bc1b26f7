#!/usr/bin/env python3
"""Delta updates under Wine: Updater.exe through patches against the whole files.

Run through run.sh beside this file (its header says how). Not a test: it
prints figures and fails only when a run does not leave release B installed.
"""
import argparse
import calendar
import fcntl
import hashlib
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
import xml.etree.ElementTree as ET

sys.dont_write_bytecode = True  # nothing left beside the sources
HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "harness"))
sys.path.insert(0, os.path.join(SOURCE, "bench", "delta"))
import nginx_fixture  # noqa: E402
import wine_desktop  # noqa: E402
import delta_bench  # noqa: E402  (the generated suite of the publisher's bench)
import xvfb  # noqa: E402

MIB = 1048576.0
# Bump when the prepared cases change shape, so that old ones are remade.
CASE_VERSION = "3"
DEFAULT_OLD_COMMIT = "2e621aa"
SUITE_TIME_A = calendar.timegm((2026, 3, 2, 1, 0, 0))
MODES = ("patches", "recorded", "full")
STRIP = "x86_64-w64-mingw32-strip"
# The log's stamps are local time; the runs set this zone (no daylight time).
LOG_TZ, LOG_UTC_OFFSET = "Asia/Seoul", 9 * 3600


def say(text):
    print(text, flush=True)


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def files_below(root):
    """Relative paths (with /) of every file below root, sorted."""
    out = []
    for folder, _, names in os.walk(root):
        for n in names:
            out.append(os.path.relpath(os.path.join(folder, n), root).replace(os.sep, "/"))
    return sorted(out)


def run_checked(command, cwd=None, what=None):
    result = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        raise SystemExit("%s failed:\n%s" % (what or " ".join(command), result.stdout[-4000:]))
    return result.stdout


# ---------------------------------------------------------------- the releases

def settle_stamps(a, b):
    """A file of B with the same bytes as in A gets A's time stamp: once A
    is installed it is current. Changed files keep theirs (the sample
    suite's imaging.dll changes its version only, on purpose)."""
    for rel in files_below(b):
        pb, pa = os.path.join(b, rel), os.path.join(a, rel)
        if os.path.exists(pa) and delta_bench.sha256_file(pa) == delta_bench.sha256_file(pb):
            ta = os.stat(pa).st_mtime
            os.utime(pb, (ta, ta))


def build_old_programs(work, commit):
    """Updater.exe and vireo-tool.exe of an older commit, built once with
    that commit's windows preset from `git archive` (no worktree)."""
    full = run_checked(["git", "-C", SOURCE, "rev-parse", "--verify", commit + "^{commit}"]).strip()
    src = os.path.join(work, "old-" + full[:12])
    exes = {"Updater.exe": os.path.join(src, "build", "windows", "src", "app", "program", "Updater.exe"),
            "vireo-tool.exe": os.path.join(src, "build", "windows", "tools", "vireo-tool", "vireo-tool.exe")}
    if all(os.path.exists(p) for p in exes.values()):
        return full, exes
    if not os.path.exists(os.path.join(src, "CMakePresets.json")):
        say("unpacking %s into %s" % (full[:12], src))
        os.makedirs(src, exist_ok=True)
        archive = subprocess.Popen(["git", "-C", SOURCE, "archive", full], stdout=subprocess.PIPE)
        subprocess.run(["tar", "-x", "-C", src], stdin=archive.stdout, check=True)
        if archive.wait() != 0:
            raise SystemExit("git archive %s failed" % full)
    say("building Updater.exe and vireo-tool.exe at %s (windows preset, -j2; once)" % full[:12])
    run_checked(["cmake", "--preset", "windows"], cwd=src, what="configuring the old commit")
    run_checked(["cmake", "--build", "--preset", "windows", "-j2", "--target", "Updater", "vireo-tool"], cwd=src,
                what="building the old commit")
    return full, exes


def built_commit():
    """The commit this checkout's programs are built from: the last one that
    touched anything but the benchmarks and the README."""
    return run_checked(["git", "-C", SOURCE, "log", "-1", "--format=%h", "HEAD", "--", ".", ":!bench",
                        ":!README.md"]).strip()


def commit_time(rev):
    return int(run_checked(["git", "-C", SOURCE, "log", "-1", "--format=%ct", rev]).strip())


def stripped_copy(case, path):
    """The stripped form of a binary, made once per content: strip writes
    the time of day into a PE header, so the same file stripped twice would
    differ, and an unchanged file of the suite would look changed."""
    cache = os.path.join(case, "stripped")
    os.makedirs(cache, exist_ok=True)
    out = os.path.join(cache, delta_bench.sha256_file(path))
    if not os.path.exists(out):
        run_checked([STRIP, "--strip-all", "-o", out + ".tmp", path])
        os.replace(out + ".tmp", out)
    return out


def lay_out_release_case(case, windows, old_exes, old_commit, strip):
    """Release A: the old commit's programs and the sample suite's 1.0;
    release B: this checkout's programs and 1.1."""
    releases = os.path.join(windows, "tests", "e2e", "releases")
    new_exes = {"Updater.exe": os.path.join(windows, "src", "app", "program", "Updater.exe"),
                "vireo-tool.exe": os.path.join(windows, "tools", "vireo-tool", "vireo-tool.exe")}
    for path in list(new_exes.values()) + [os.path.join(releases, r, "files.tsv") for r in ("1.0", "1.1")]:
        if not os.path.exists(path):
            raise SystemExit("missing %s: build the windows preset's Updater, vireo-tool and e2e_releases" % path)
    # Stamped with the time of the commit they are built from, not HEAD's
    # (a commit to the benchmarks alone would otherwise republish the case).
    head_time = commit_time(built_commit())
    a, b = os.path.join(case, "release-a"), os.path.join(case, "release-b")
    for folder, suite, exes, stamp in ((a, "1.0", old_exes, commit_time(old_commit)),
                                       (b, "1.1", new_exes, head_time)):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for module in ("viewer", "printer"):
            shutil.copytree(os.path.join(releases, suite, module), os.path.join(folder, module))
        for name, path in exes.items():
            target = os.path.join(folder, name)
            # Shipped as the build makes them now: a build from before the
            # debug information moved out (no .debug file beside the
            # program) gets the same stripping.
            shipped = path if os.path.exists(path + ".debug") else stripped_copy(case, path)
            shutil.copyfile(shipped, target)
            os.utime(target, (stamp, stamp))
        if strip:
            for rel in files_below(folder):
                if rel.lower().endswith((".exe", ".dll")):
                    path = os.path.join(folder, rel)
                    st = os.stat(path)
                    shutil.copyfile(stripped_copy(case, path), path)
                    os.utime(path, (st.st_atime, st.st_mtime))
    settle_stamps(a, b)
    return a, b


def lay_out_suite_case(case, size_mb, files):
    gen = os.path.join(case, "generated")
    os.makedirs(gen, exist_ok=True)
    a, b = delta_bench.make_suite(gen, size_mb, files)
    # The generator writes both at once: fixed times, B a day after A (and
    # the same every time, so that the published trees are kept).
    for folder, stamp in ((a, SUITE_TIME_A), (b, SUITE_TIME_A + 86400)):
        for rel in files_below(folder):
            os.utime(os.path.join(folder, rel), (stamp, stamp))
    settle_stamps(a, b)
    return a, b


def fingerprint(*folders_and_options):
    h = hashlib.sha256()
    for item in folders_and_options:
        if isinstance(item, str) and os.path.isdir(item):
            for rel in files_below(item):
                path = os.path.join(item, rel)
                h.update(("%s %d %s\n" % (rel, int(os.stat(path).st_mtime), delta_bench.sha256_file(path))).encode())
        else:
            h.update(repr(item).encode())
    return h.hexdigest()


def publish(tool, release, out, install, zips, deltas):
    command = [tool, "publish", "--release", release, "--out", out, "--module", "suite",
               "--install-path", wine_path(install)]
    for glob in zips:
        command += ["--zip", glob]
    if deltas:
        command += ["--deltas", str(deltas)]
    run_checked(command, what="vireo-tool publish %s" % release)


def prepare_case(args, work, name):
    """Releases A and B of a case and its two published trees; kept while
    the releases and options stay the same."""
    if name == "release":
        old_commit, old_exes = build_old_programs(work, args.old_commit)
        # Each old commit and stripping keeps its own prepared case.
        case = os.path.join(work, "release-%s%s" % (old_commit[:12], "-stripped" if args.strip else ""))
        os.makedirs(case, exist_ok=True)
        a, b = lay_out_release_case(case, args.windows_build, old_exes, old_commit, args.strip)
        zips = ["*.exe", "*.dll"]
        built = built_commit()
        title = ("release to release: Updater.exe + vireo-tool.exe at %s and at %s%s, sample suite 1.0 -> 1.1"
                 % (old_commit[:7], built,
                    ", all stripped" if args.strip else " (the programs as shipped, the suite's binaries as built)"))
    else:
        case = os.path.join(work, name)
        os.makedirs(case, exist_ok=True)
        a, b = lay_out_suite_case(case, args.size_mb, args.files)
        zips = ["Orrery.exe"]
        title = "%d MB generated suite, every binary changed slightly" % args.size_mb
    install = os.path.join(case, "install")
    stamp = os.path.join(case, "prepared")
    mark = fingerprint(CASE_VERSION, a, b, zips, args.deltas, install, os.path.getmtime(args.tool))
    # "recorded" is served the patches tree; "seed" (B, then A with patches
    # from B) is what the recorded install of A is made from.
    trees = {m: os.path.join(case, "tree-" + ("patches" if m == "recorded" else m)) for m in MODES}
    seed = os.path.join(case, "tree-seed")
    try:
        with open(stamp) as f:
            ready = f.read() == mark
    except FileNotFoundError:
        ready = False
    if not ready:
        say("publishing case %s" % name)
        for tree in set(trees.values()) | {seed}:
            shutil.rmtree(tree, ignore_errors=True)
            os.makedirs(tree)
        publish(args.tool, b, seed, install, zips, args.deltas)
        publish(args.tool, a, seed, install, zips, args.deltas)
        publish(args.tool, a, trees["patches"], install, zips, args.deltas)
        publish(args.tool, b, trees["patches"], install, zips, args.deltas)
        publish(args.tool, b, trees["full"], install, zips, 0)
        with open(stamp, "w") as f:
            f.write(mark)
    return dict(name=name, title=title, dir=case, a=a, b=b, install=install, trees=trees, zips=zips, seed=seed,
                a_recorded=os.path.join(case, "install-a-recorded"), mark=mark)


# ------------------------------------------------------------------- the runs

class Bench:
    def __init__(self, args):
        self.args = args
        self.work = os.path.join(args.windows_build, "bench-delta-wine")
        self.updater = os.path.join(args.windows_build, "src", "app", "program", "Updater.exe")
        self.wine_run = os.path.join(SOURCE, "cmake", "wine-run")
        self.prefix = os.path.join(self.work, "wineprefix")
        self.nginx = os.path.join(self.work, "nginx")
        self.port = None
        self.xvfb = None
        self.display = None
        self.lock = None
        self.inherited_lock = False
        self.keeper = None

    def env(self):
        env = dict(os.environ)
        env["VIREO_WINEPREFIX"] = self.prefix
        env["WINEPREFIX"] = self.prefix
        env["DISPLAY"] = self.display
        env["TZ"] = LOG_TZ
        return env

    def start_display(self):
        started = xvfb.start()
        if started is None:
            raise SystemExit("Xvfb did not start")
        self.xvfb, self.display = started

    def start_server(self, cases):
        with open(os.devnull, "w") as quiet:
            stdout, sys.stdout = sys.stdout, quiet
            try:
                status = nginx_fixture.start(self.nginx)
            finally:
                sys.stdout = stdout
        if status != 0:
            raise SystemExit("nginx did not start; see %s/error.log" % self.nginx)
        html = os.path.join(self.nginx, "html")
        for case in cases:
            os.makedirs(os.path.join(html, case["name"]))
            for mode, tree in list(case["trees"].items()) + [("seed", case["seed"])]:
                # Hard links: the trees are served without a copy.
                subprocess.run(["cp", "-al", tree, os.path.join(html, case["name"], mode)], check=True)
        with open(os.path.join(self.nginx, "port")) as f:
            self.port = int(f.read())

    def lock_held_by_caller(self, path):
        for fd in os.listdir("/proc/self/fd"):
            try:
                if os.path.realpath("/proc/self/fd/" + fd) == os.path.realpath(path):
                    return True
            except OSError:
                pass
        return False

    def take_lock(self):
        path = self.args.lock
        if not path or self.inherited_lock:
            return
        if self.lock_held_by_caller(path):
            say("the Wine lock %s is held by the caller" % path)
            self.inherited_lock = True
            return
        self.lock = open(path, "a")
        say("waiting for the Wine lock %s" % path)
        fcntl.flock(self.lock, fcntl.LOCK_EX)

    def release_lock(self):
        if self.lock is not None:
            # Our prefix's lingering wineserver is ended before others run.
            subprocess.run(["/usr/lib/wine/wineserver64", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            fcntl.flock(self.lock, fcntl.LOCK_UN)
            self.lock.close()
            self.lock = None

    def close(self):
        wine_desktop.release(self.keeper)
        self.release_lock()
        nginx_fixture.stop(self.nginx)
        if self.xvfb is not None:
            subprocess.run(["/usr/lib/wine/wineserver64", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            self.xvfb.terminate()
            self.xvfb.wait()

    def access_lines(self):
        with open(os.path.join(self.nginx, "access.log")) as f:
            return f.readlines()

    def seed_recorded(self, case):
        """Release A as the updater installs it from a list that names
        patches: with the record of its files' digests, as a workstation
        has it when every release is published with --deltas. Made once per
        prepared case and Updater.exe."""
        target = case["a_recorded"]
        mark = case["mark"] + "\n" + str(os.path.getmtime(self.updater))
        try:
            with open(target + ".done") as f:
                if f.read() == mark:
                    return
        except FileNotFoundError:
            pass
        say("case %s: installing release A with its record (once)" % case["name"])
        install = case["install"]
        shutil.rmtree(install, ignore_errors=True)
        os.makedirs(install)
        self.run_updater(case, "seed", source=None, release=case["a"])
        if not os.path.exists(os.path.join(install, "~vireo-digests")):
            raise SystemExit("%s: the seed run wrote no record of installed files" % case["name"])
        shutil.rmtree(target, ignore_errors=True)
        shutil.copytree(install, target)  # copy2: the time stamps come along
        with open(target + ".done", "w") as f:
            f.write(mark)

    def run_updater(self, case, mode, source="a", release=None):
        """Release A installed afresh (the plain copy, or the one the updater
        installed with its record for "recorded"), Updater.exe run against
        one tree, which must leave `release` (default B) installed."""
        install = case["install"]
        if source is not None:
            shutil.rmtree(install, ignore_errors=True)
            # copy2: the time stamps come along
            shutil.copytree(case["a_recorded"] if mode == "recorded" else case[source], install)
        app = os.path.join(self.work, "app")
        shutil.rmtree(app, ignore_errors=True)
        os.makedirs(app)
        shutil.copy2(self.updater, os.path.join(app, "Updater.exe"))
        address = "127.0.0.1:%d/%s/%s" % (self.port, case["name"], mode)
        before = len(self.access_lines())
        with tempfile.TemporaryFile(dir=self.work) as output:
            t0, start = time.time(), time.monotonic()
            result = subprocess.run([self.wine_run, os.path.join(app, "Updater.exe"), address], env=self.env(),
                                    cwd=app, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                    timeout=900)
            seconds = time.monotonic() - start
            t1 = time.time()
            output.seek(0)
            printed = output.read().decode(errors="replace")
        lines = self.access_lines()[before:]
        log = read_log(os.path.join(app, "updater_log.txt"))
        # The last run of each case and mode keeps its logs for a look.
        kept = os.path.join(self.work, "logs")
        os.makedirs(kept, exist_ok=True)
        if os.path.exists(os.path.join(app, "updater_log.txt")):
            shutil.copyfile(os.path.join(app, "updater_log.txt"),
                            os.path.join(kept, "%s-%s-updater_log.txt" % (case["name"], mode)))
        with open(os.path.join(kept, "%s-%s-access.log" % (case["name"], mode)), "w") as f:
            f.writelines(lines)
        problem = check_installed(release or case["b"], install)
        if problem or result.returncode != 0:
            raise SystemExit("%s/%s: exit %d, %s\n--- log\n%s\n--- output\n%s"
                             % (case["name"], mode, result.returncode, problem or "installed",
                                "\n".join("%.3f %s" % e for e in log[-40:]), printed[-2000:]))
        return dict(seconds=seconds, t0=t0, t1=t1, entries=[parse_access(l) for l in lines if l.strip()], log=log)


def check_installed(release, install):
    """Empty when every file of release B is in the install folder, byte for byte."""
    for rel in files_below(release):
        got = os.path.join(install, rel)
        want = os.path.join(release, rel)
        if not os.path.exists(got):
            return "%s is missing" % rel
        if os.path.getsize(got) != os.path.getsize(want) or delta_bench.sha256_file(got) != delta_bench.sha256_file(want):
            return "%s differs from release B" % rel
    return ""


# ---------------------------------------------------------------- the figures

LOG_LINE = re.compile(r"^\[(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d):(\d{3})\] (.*)$")


def read_log(path):
    """[(epoch seconds, text)] of the updater's log."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return []
    text = data.decode("utf-16-le", "replace").lstrip("\ufeff")
    events = []
    for line in text.splitlines():
        m = LOG_LINE.match(line)
        if not m:
            continue
        y, mo, d, h, mi, s, ms = (int(v) for v in m.groups()[:7])
        events.append((calendar.timegm((y, mo, d, h, mi, s, 0)) - LOG_UTC_OFFSET + ms / 1000.0, m.group(8)))
    return events


def parse_access(line):
    """CONN REQNO "REQUEST" STATUS BYTES "AGENT" PORT SECONDS MSEC (nginx_fixture's format)."""
    q1 = line.index('"')
    q2 = line.index('" ', q1 + 1)
    status, sent = line[q2 + 2:].split()[:2]
    a2 = line.index('"', line.index('"', q2 + 2) + 1)
    _, seconds, msec = line[a2 + 1:].split()[:3]
    request = line[q1 + 1:q2].split(" ")
    path = urllib.parse.unquote(request[1]) if len(request) > 1 else ""
    return dict(method=request[0], path=path, status=int(status), sent=int(sent), seconds=float(seconds),
                end=float(msec), start=float(msec) - float(seconds))


def base_name(name):
    return re.split(r"[\\/]", name)[-1].lower()


def phases(run):
    """Where a run's time went (seconds), from its log and nginx's lines."""
    log, entries = run["log"], run["entries"]
    out = dict(start=0.0, hash=0.0, fetch=0.0, apply=0.0, swap=0.0, unzip=0.0, end=0.0, files=0, patched=0,
               saved=0, unpatched=[], backups=0.0)
    stagings = [i for i, (_, x) in enumerate(log) if x.startswith("Staging : ") and " files into " in x]
    if not stagings:
        out["start"] = run["t1"] - run["t0"]
        return out
    out["start"] = log[stagings[0]][0] - run["t0"]
    last_done = None
    for s in stagings:
        put = next((i for i in range(s + 1, len(log)) if log[i][1].startswith("Swap : putting ")), None)
        if put is None:
            continue
        done = next((i for i in range(put + 1, len(log)) if log[i][1].startswith("Swap : done -> ")), None)
        window = log[put][0] - log[s][0]
        hashing = applying = 0.0
        for i in range(s + 1, put):
            text = log[i][1]
            if " came as a patch, " in text:
                out["patched"] += 1
                # The patch's own download line comes just before.
                j = i - 1
                applying += log[i][0] - log[j][0]
                patch = base_name(log[j][1][len("DownloadFile : "):])
                request = next((e for e in entries if base_name(e["path"]) == patch), None)
                if request is not None:
                    hashing += max(0.0, min(request["start"], log[j][0]) - log[j - 1][0])
            elif " not patched, " in text:
                if " not patched, the installed copy is no base" in text:
                    hashing += log[i][0] - log[i - 1][0]
                name, why = text[len("DownloadFile : "):].split(" not patched, ", 1)
                out["unpatched"].append((name, why.replace(", the whole file is fetched", "")))
            m = re.match(r"Patches : \d+ of \d+ files came as patches, (\d+) bytes saved", text)
            if m:
                out["saved"] += int(m.group(1))
        out["hash"] += hashing
        out["apply"] += applying
        out["fetch"] += window - hashing - applying
        m = re.match(r"Swap : putting (\d+) staged files", log[put][1])
        out["files"] += int(m.group(1)) if m else 0
        if done is not None:
            out["swap"] += log[done][0] - log[put][0]
            last_done = log[done][0]
            out["unzip"] += unzip_time(log[put:done + 1])
            # The swap puts the files in place and commits its journal (up to
            # "Swap : done"); the backups are deleted after it, beside the
            # module's program starting (a line each), and the staging folder
            # last (no line of its own).
            after = next((i for i in range(done + 1, len(log)) if log[i][1].startswith("Staging : ")), len(log))
            deletes = [log[i][0] for i in range(done, after) if log[i][1].startswith("Delete file : ")]
            if deletes:
                out["backups"] += deletes[-1] - log[done][0]
    if last_done is not None:
        out["end"] = run["t1"] - last_done
    return out


def unzip_time(events):
    """The swap's stretches spent unpacking archives: each from its
    "UnZip : strZipFileName" line to the last line of the unpacking."""
    total, begun, last = 0.0, None, None
    for t, text in events:
        if text.startswith("UnZip : strZipFileName"):
            if begun is not None:
                total += last - begun
            begun = last = t
        elif begun is not None and text.startswith(("UnZip", "UnzipItem", "Target file")):
            last = t
        elif begun is not None:
            total += last - begun
            begun = None
    if begun is not None:
        total += last - begun
    return total


def median_run(runs):
    ordered = sorted(runs, key=lambda r: r["seconds"])
    return ordered[len(ordered) // 2]


def report(case, results):
    say("")
    say("case %s: %s" % (case["name"], case["title"]))
    say("  %-8s %5s %7s %14s %9s %8s %7s %7s %7s %7s %7s %12s %7s %9s"
        % ("mode", "files", "patched", "bytes served", "median s", "best s", "start", "hash", "fetch", "apply",
           "swap", "(unzip)", "end", "swap/100"))
    served = {}
    for mode in MODES:
        runs = results[mode]
        m = median_run(runs)
        p = phases(m)
        served[mode] = statistics.median(sum(e["sent"] for e in r["entries"]) for r in runs)
        per100 = p["swap"] / max(1, p["files"]) * 100
        say("  %-8s %5d %7d %14d %9.2f %8.2f %7.2f %7.2f %7.2f %7.2f %7.3f %12.3f %7.2f %9.3f"
            % (mode, p["files"], p["patched"], served[mode], statistics.median(r["seconds"] for r in runs),
               min(r["seconds"] for r in runs), p["start"], p["hash"], p["fetch"], p["apply"], p["swap"], p["unzip"],
               p["end"], per100))
    ft = [r["seconds"] for r in results["full"]]
    say("  runs (s): %s" % "; ".join("%s %s" % (mode, " ".join("%.2f" % r["seconds"] for r in results[mode]))
                                     for mode in MODES))
    bytes_ratio = served["patches"] / max(1, served["full"])
    say("  goal bytes  patches/full %6.2f %%  (at most 10 %%)   %s"
        % (100 * bytes_ratio, "met" if bytes_ratio <= 0.10 else "MISSED"))
    for mode in ("patches", "recorded"):
        pt = [r["seconds"] for r in results[mode]]
        paired = [a / b for a, b in zip(pt, ft)]
        time_ratio = statistics.median(pt) / statistics.median(ft)
        say("  goal time   %-8s/full %5.3f   (at most 1.00)   %s; the repetitions' own: %s"
            % (mode, time_ratio, "met" if time_ratio <= 1.0 else "MISSED", ", ".join("%.2f" % r for r in paired)))
    for mode in MODES:
        p = phases(median_run(results[mode]))
        per100 = p["swap"] / max(1, p["files"]) * 100
        say("  goal swap   %-7s %6.3f s per 100 files (%d files, %.3f s; at most 0.1)   %s: unzip %.3f s; "
            "after it, beside the program's start: backups deleted in %.3f s, then the staging folder"
            % (mode, per100, p["files"], p["swap"], "met" if per100 <= 0.1 else "MISSED", p["unzip"],
               p["backups"]))
    m = median_run(results["patches"])
    p = phases(m)
    say("  the patches run's log: %d files came as patches, %d bytes saved" % (p["patched"], p["saved"]))
    if p["unpatched"]:
        # Each such file was served twice: its patch, then the whole file.
        whole = 0
        for name, _ in p["unpatched"]:
            tail = "/" + name.replace("\\", "/").lower()
            whole += sum(e["sent"] for e in m["entries"] if e["path"].lower().endswith(tail))
        reasons = {}
        for _, why in p["unpatched"]:
            reasons[why] = reasons.get(why, 0) + 1
        say("  not patched, fetched whole after their patch: %s (%s)"
            % (", ".join(n for n, _ in p["unpatched"]), "; ".join("%d: %s" % (c, w) for w, c in reasons.items())))
        rest = sum(e["sent"] for e in m["entries"]) - whole
        say("  bytes served without those whole files (every patch applied): %d, %.2f %% of the full update"
            % (rest, 100.0 * rest / max(1, served["full"])))


# ------------------------------------------------------------ the zstd survey

SURVEY = [
    ("-19 --long (as the tool)", ["-19"]),
    ("-19 --zstd=wlog=27", ["-19", "--zstd=wlog=27"]),
    ("--ultra -22", ["--ultra", "-22"]),
    ("--ultra -22 --zstd=tlen=999", ["--ultra", "-22", "--zstd=tlen=999"]),
    ("-19 --zstd=mml=3", ["-19", "--zstd=mml=3"]),
    ("--ultra -22 --zstd=mml=3,tlen=999", ["--ultra", "-22", "--zstd=mml=3,tlen=999"]),
]


def survey(case, stripped_too=True):
    """Patch sizes of the release case's changed binaries under other zstd
    settings, as plain files and stripped."""
    if shutil.which("zstd") is None:
        say("zstd survey: no zstd command")
        return
    pairs = []
    for rel in files_below(case["b"]):
        pa, pb = os.path.join(case["a"], rel), os.path.join(case["b"], rel)
        if rel.lower().endswith((".exe", ".dll")) and os.path.exists(pa) and delta_bench.sha256_file(pa) != delta_bench.sha256_file(pb):
            pairs.append((rel, pa, pb))
    served = tool_patch_sizes(case)
    say("")
    say("zstd --patch-from survey, release case: %d changed binaries (per file: %% of the file / %% of its zip)"
        % len(pairs))
    with tempfile.TemporaryDirectory() as tmp:
        variants = [("as built", pairs)]
        if stripped_too:
            stripped = []
            for rel, pa, pb in pairs:
                sa, sb = os.path.join(tmp, "a-" + base_name(rel)), os.path.join(tmp, "b-" + base_name(rel))
                run_checked([STRIP, "--strip-all", "-o", sa, pa])
                run_checked([STRIP, "--strip-all", "-o", sb, pb])
                stripped.append((rel, sa, sb))
            variants.append(("stripped", stripped))
        for label, items in variants:
            whole = sum(os.path.getsize(pb) for _, _, pb in items)
            zipped = sum(zip_size(pb, tmp) for _, _, pb in items)
            say("  %s: %d bytes whole, %d as one-file zips" % (label, whole, zipped))
            if label == "as built" and served:
                total = sum(served.values())
                say("    %-36s %10d  %6.2f %% of whole, %6.2f %% of zipped   (%s)"
                    % ("vireo-tool's patches", total, 100.0 * total / whole, 100.0 * total / zipped,
                       ", ".join("%s %d" % (k, v) for k, v in sorted(served.items()))))
            for name, flags in SURVEY:
                total, per = 0, []
                for rel, pa, pb in items:
                    out = os.path.join(tmp, "p.zst")
                    span = os.path.getsize(pa) + os.path.getsize(pb)
                    wlog = max(10, (span - 1).bit_length())
                    extra = [] if any("wlog" in f for f in flags) else ["--long=%d" % min(31, wlog)]
                    subprocess.run(["zstd", "-q", "-f", "--patch-from=" + pa, pb, "-o", out] + flags + extra,
                                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                    size = os.path.getsize(out)
                    total += size
                    per.append("%s %.1f/%.1f" % (base_name(rel), 100.0 * size / os.path.getsize(pb),
                                                 100.0 * size / zip_size(pb, tmp)))
                say("    %-36s %10d  %6.2f %% of whole, %6.2f %% of zipped   (%s)"
                    % (name, total, 100.0 * total / whole, 100.0 * total / zipped, ", ".join(per)))


def zip_size(path, tmp):
    out = os.path.join(tmp, "z.zip")
    if os.path.exists(out):
        os.remove(out)
    subprocess.run(["zip", "-q", "-j", "-9", out, path], check=True)
    return os.path.getsize(out)


def tool_patch_sizes(case):
    """Sizes of the patches the tool published for B's binaries, by name."""
    listing = os.path.join(case["trees"]["patches"], "update", "suite", "UpdateList.xml")
    try:
        root = ET.parse(listing).getroot()
    except (FileNotFoundError, ET.ParseError):
        return {}
    sizes = {}
    for m in root.iter("module"):
        name = m.get("filename", "")
        patches = [int(p.get("size")) for p in m.findall("patch")]
        if patches and name.lower().endswith((".exe.zip", ".dll.zip", ".exe", ".dll")):
            sizes[base_name(name)] = min(patches)
    return sizes


# -------------------------------------------------------------------- main

def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--windows-build", default=os.path.join(SOURCE, "build", "windows"))
    parser.add_argument("--tool", default=os.path.join(SOURCE, "build", "native", "tools", "vireo-tool", "vireo-tool"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--cases", default="release,suite")
    parser.add_argument("--old-commit", default=DEFAULT_OLD_COMMIT)
    parser.add_argument("--strip", action="store_true", help="strip both releases' binaries (release case)")
    parser.add_argument("--size-mb", type=int, default=300)
    parser.add_argument("--files", type=int, default=60)
    parser.add_argument("--deltas", type=int, default=3)
    parser.add_argument("--lock", default="/work/wine.lock" if os.path.exists("/work/wine.lock") else "")
    parser.add_argument("--prepare-only", action="store_true")
    parser.add_argument("--zstd-survey", action="store_true")
    args = parser.parse_args()
    args.windows_build = os.path.abspath(args.windows_build)
    names = [c for c in args.cases.split(",") if c]
    for n in names:
        if n not in ("release", "suite"):
            raise SystemExit("unknown case %s (release, suite)" % n)
    needed = [(args.tool, "vireo-tool (native preset)")]
    if not args.prepare_only:
        needed.append((os.path.join(args.windows_build, "src", "app", "program", "Updater.exe"),
                       "Updater.exe (windows preset)"))
    for path, what in needed:
        if not os.access(path, os.R_OK):
            raise SystemExit("missing %s: %s" % (what, path))
    bench = Bench(args)
    os.makedirs(bench.work, exist_ok=True)
    cases = [prepare_case(args, bench.work, n) for n in names]
    if args.zstd_survey:
        for case in cases:
            if case["name"] == "release":
                survey(case)
    if args.prepare_only:
        return 0
    results = {}
    try:
        bench.start_display()
        bench.start_server(cases)
        for case in cases:
            bench.take_lock()
            bench.keeper = wine_desktop.keep(bench.wine_run, args.windows_build, bench.env())
            bench.seed_recorded(case)
            say("case %s: warming up" % case["name"])
            for mode in MODES:
                bench.run_updater(case, mode)
            results[case["name"]] = {m: [] for m in MODES}
            for i in range(args.runs):
                # Alternate which mode goes first, so neither always follows the other.
                order = MODES if i % 2 == 0 else MODES[::-1]
                for mode in order:
                    results[case["name"]][mode].append(bench.run_updater(case, mode))
                say("  run %d: %s" % (i + 1, ", ".join("%s %.2f s" % (m, results[case["name"]][m][-1]["seconds"])
                                                       for m in MODES)))
            wine_desktop.release(bench.keeper)
            bench.release_lock()
        for case in cases:
            report(case, results[case["name"]])
    finally:
        bench.close()
        for case in cases:
            shutil.rmtree(case["install"], ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
