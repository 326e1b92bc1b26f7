#!/usr/bin/env python3
"""Whole-update benchmark under Wine: Updater.exe against its baselines.

Run through run.sh beside this file (its header says how). Not a test: it
prints figures and fails only when a run does not produce the tree.

Case A, a whole first update of about 300 MB: one 200 MB file, 20 archives
holding 5 MB of incompressible data each, 300 small text files, published
with `vireo-tool publish` (archives with --zip). Updater.exe fetches it into
an empty folder. Baseline: one curl command fetching the same files (the
manifest and the update list too) over one keep-alive connection, then
`unzip -o -qq` of each archive and its removal, on the same disk. The
platform's floor for the same work is timed too: wininet_loop.exe fetching
the files with the updater's request flags, then the same unzip; and once
more with WinINet's cookie handling off, which the updater does not do.

Case B, a first install of 2,000 small files. Baseline: wininet_loop.exe,
one WinINet connection, one GET per file written to disk: the platform's
floor under Wine. curl is timed as well.

The repetitions interleave the contenders; every figure is the median (and
best) of the runs. From nginx's access log each updater run reports the
body bytes served (against the bytes of the files, manifest and lists), the
connections, the requests by method, and where the wall time went: before
the first request, inside requests (nginx's $request_time), between
requests (the client's own work per file) and after the last.
"""
import argparse
import fcntl
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "harness"))
import nginx_fixture  # noqa: E402
import wine_desktop  # noqa: E402

MIB = 1048576
# Bump when the generated trees change shape, so that old ones are remade.
TREE_VERSION = "1"
# Who is timed, in the order of the report; loop_nc (the loop with cookies
# off) only where the case has archives.
CONTENDERS = ("updater", "curl", "loop", "loop_nc")
CASES = {
    "a": dict(title="whole first update, 200 MB file + 20 x 5 MB archives + 300 text files",
              big_mb=200, archives=20, archive_mb=5, texts=300, text_folders=6),
    "b": dict(title="first install, 2,000 small files",
              big_mb=0, archives=0, archive_mb=0, texts=2000, text_folders=20),
}
WORDS = ("study series image window level viewer printer dose slice volume axial sagittal coronal "
         "contrast marker report archive modality patient scanner frame overlay").split()


def unpack(out, files):
    """The baselines' share of an update's work on archives: each fetched
    under OUT is unpacked beside itself (unzip -o -qq) and removed."""
    for path, _ in files:
        if path.endswith(".zip"):
            archive = out + path
            subprocess.run(["unzip", "-o", "-qq", archive, "-d", os.path.dirname(archive)], check=True)
            os.remove(archive)


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def say(text):
    print(text, flush=True)


# ------------------------------------------------------------------ the trees

def make_release(folder, shape, seed):
    """The release folder of a case: what must be installed."""
    rng = random.Random(seed)
    os.makedirs(folder)
    if shape["big_mb"]:
        with open(os.path.join(folder, "volume.bin"), "wb") as f:
            for _ in range(shape["big_mb"]):
                f.write(os.urandom(MIB))
    if shape["archives"]:
        os.makedirs(os.path.join(folder, "packs"))
        for i in range(shape["archives"]):
            with open(os.path.join(folder, "packs", "pack_%02d.dat" % i), "wb") as f:
                f.write(os.urandom(shape["archive_mb"] * MIB))
    for i in range(shape["texts"]):
        sub = os.path.join(folder, "docs", "part_%02d" % (i % shape["text_folders"]))
        os.makedirs(sub, exist_ok=True)
        lines = [" ".join(rng.choice(WORDS) for _ in range(rng.randint(6, 14))) for _ in range(rng.randint(20, 80))]
        with open(os.path.join(sub, "note_%04d.txt" % i), "w") as f:
            f.write("\n".join(lines) + "\n")


def publish(tool, release, out, install):
    command = [tool, "publish", "--release", release, "--out", out, "--module", "suite",
               "--install-path", wine_path(install), "--zip", "*.dat"]
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        raise SystemExit("vireo-tool publish failed:\n" + result.stdout)


def prepare_case(work, tool, name):
    """Release and published tree of a case, made once and kept."""
    case = os.path.join(work, name)
    stamp = os.path.join(case, "tree-version")
    release, tree, install = (os.path.join(case, n) for n in ("release", "tree", "install"))
    try:
        with open(stamp) as f:
            if f.read() == TREE_VERSION:
                return case
    except FileNotFoundError:
        pass
    say("generating case %s in %s" % (name, case))
    shutil.rmtree(case, ignore_errors=True)
    make_release(release, CASES[name], seed=name)
    os.makedirs(tree)
    publish(tool, release, tree, install)
    with open(stamp, "w") as f:
        f.write(TREE_VERSION)
    return case


def tree_files(tree):
    """Server paths and sizes of every file of a published tree."""
    files = []
    for root, _, names in os.walk(tree):
        for n in sorted(names):
            path = os.path.join(root, n)
            files.append(("/" + os.path.relpath(path, tree).replace(os.sep, "/"), os.path.getsize(path)))
    # The manifest and the list first, as a client meets them.
    files.sort(key=lambda f: (f[0] != "/update.xml", not f[0].endswith("UpdateList.xml"), f[0]))
    return files


# ------------------------------------------------------------------- the runs

class Bench:
    def __init__(self, args):
        self.args = args
        self.windows = os.path.abspath(args.windows_build)
        self.work = os.path.join(self.windows, "bench-update")
        self.updater = os.path.join(self.windows, "src", "app", "program", "Updater.exe")
        self.loop = os.path.join(self.windows, "tests", "harness", "wininet_loop.exe")
        self.wine_run = os.path.join(SOURCE, "cmake", "wine-run")
        self.prefix = os.path.join(self.work, "wineprefix")
        self.xvfb = None
        self.display = None
        self.servers = {}
        self.lock = None
        self.keeper = None

    # -- set-up and tear-down
    def check_inputs(self):
        for path, what in ((self.updater, "Updater.exe (build the windows preset)"),
                           (self.loop, "wininet_loop.exe (build the windows preset)"),
                           (self.args.tool, "vireo-tool (build the native preset)")):
            if not os.access(path, os.R_OK):
                raise SystemExit("missing %s: %s" % (what, path))
        for program in ("curl", "unzip", "Xvfb"):
            if shutil.which(program) is None:
                raise SystemExit("missing %s" % program)

    def env(self):
        env = dict(os.environ)
        env["VIREO_WINEPREFIX"] = self.prefix
        env["DISPLAY"] = self.display
        env["TZ"] = "Asia/Seoul"
        return env

    def start_display(self):
        for n in range(140, 260):
            if os.path.exists("/tmp/.X%d-lock" % n) or os.path.exists("/tmp/.X11-unix/X%d" % n):
                continue
            proc = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            for _ in range(50):
                if os.path.exists("/tmp/.X11-unix/X%d" % n) or proc.poll() is not None:
                    break
                time.sleep(0.1)
            if proc.poll() is None:
                self.xvfb, self.display = proc, ":%d" % n
                return
        raise SystemExit("no free X display for Xvfb")

    def wine(self, *args, cwd=None):
        """Runs a Windows program; returns (exit code, what it wrote).

        Its output goes to a file, not a pipe: the run ends when the program
        ends. Wine's desktop process, which the first window of a program
        starts, inherits the program's streams and keeps them open for about
        a second after the last window closed; waiting for a pipe to close
        counted that second as the program's own."""
        with tempfile.TemporaryFile(dir=self.work) as output:
            result = subprocess.run([self.wine_run] + list(args), env=self.env(), cwd=cwd, stdin=subprocess.DEVNULL,
                                    stdout=output, stderr=subprocess.STDOUT, timeout=900)
            output.seek(0)
            return result.returncode, output.read().decode(errors="replace")

    def prepare_prefix(self):
        marker = os.path.join(self.prefix, ".bench-unmanaged")
        if os.path.exists(marker):
            return
        # Without a window manager Wine waits 2 s whenever a managed window
        # is hidden; unmanaged windows are what the figures are taken with.
        code, output = self.wine("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")
        if code != 0:
            raise SystemExit("wine reg add failed: %s" % output)
        subprocess.run(["/usr/lib/wine/wineserver64", "-w"], env=dict(self.env(), WINEPREFIX=self.prefix))
        open(marker, "w").close()

    def take_lock(self):
        """Holds the machine's Wine lock for the timed part, unless a parent
        (flock /work/wine.lock run.sh) already holds it for us."""
        path = self.args.lock
        if not path:
            return
        for fd in os.listdir("/proc/self/fd"):
            try:
                if os.path.realpath("/proc/self/fd/" + fd) == os.path.realpath(path):
                    say("the Wine lock %s is held by the caller" % path)
                    return
            except OSError:
                pass
        self.lock = open(path, "a")
        say("waiting for the Wine lock %s" % path)
        fcntl.flock(self.lock, fcntl.LOCK_EX)

    def release_lock(self):
        if self.lock is not None:
            fcntl.flock(self.lock, fcntl.LOCK_UN)
            self.lock.close()
            self.lock = None

    def start_server(self, name, case):
        folder = os.path.join(self.work, "nginx-" + name)
        with open(os.devnull, "w") as quiet:
            stdout, sys.stdout = sys.stdout, quiet
            try:
                status = nginx_fixture.start(folder)
            finally:
                sys.stdout = stdout
        if status != 0:
            raise SystemExit("nginx did not start; see %s/error.log" % folder)
        html = os.path.join(folder, "html")
        shutil.rmtree(html)
        # Hard links: the published tree is served without a copy.
        subprocess.run(["cp", "-al", os.path.join(case, "tree"), html], check=True)
        with open(os.path.join(folder, "port")) as f:
            port = int(f.read())
        self.servers[name] = (folder, port)
        return folder, port

    def close(self):
        wine_desktop.release(self.keeper)
        self.release_lock()
        for folder, _ in self.servers.values():
            nginx_fixture.stop(folder)
        if self.xvfb is not None:
            subprocess.run(["/usr/lib/wine/wineserver64", "-k"], env=dict(self.env(), WINEPREFIX=self.prefix),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.xvfb.terminate()
            self.xvfb.wait()

    # -- one run of each contender
    def log_lines(self, name):
        with open(os.path.join(self.servers[name][0], "access.log")) as f:
            return f.readlines()

    @staticmethod
    def fresh(folder):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)

    def timed(self, name, action):
        """Runs action(); returns (seconds, its access-log lines, start and end epoch)."""
        before = len(self.log_lines(name))
        start_epoch, start = time.time(), time.monotonic()
        action()
        seconds = time.monotonic() - start
        end_epoch = time.time()
        return seconds, self.log_lines(name)[before:], start_epoch, end_epoch

    def run_updater(self, name, case, port):
        install = os.path.join(case, "install")
        app = os.path.join(self.work, "app")
        self.fresh(install)
        self.fresh(app)
        shutil.copy2(self.updater, os.path.join(app, "Updater.exe"))

        def action():
            self.wine(os.path.join(app, "Updater.exe"), "127.0.0.1:%d" % port, cwd=app)
        seconds, lines, t0, t1 = self.timed(name, action)
        self.check_tree(os.path.join(case, "release"), install, "Updater.exe")
        log_lines = 0
        swap = 0.0
        try:
            with open(os.path.join(app, "updater_log.txt"), "rb") as f:
                text = f.read().decode("utf-16-le", "replace")
            log_lines = text.count("\n")
            swap = swap_seconds(text)
        except FileNotFoundError:
            pass
        return dict(seconds=seconds, lines=lines, t0=t0, t1=t1, log_lines=log_lines, swap=swap)

    def run_curl(self, name, case, port, files):
        out = os.path.join(case, "out-curl")
        self.fresh(out)
        config = os.path.join(self.work, "curl-%s.cfg" % name)
        with open(config, "w") as f:
            for path, _ in files:
                f.write('url = "http://127.0.0.1:%d%s"\noutput = "%s%s"\n' % (port, path, out, path))
        module = os.path.join(out, "update", "suite")

        def action():
            subprocess.run(["curl", "-sS", "--fail", "--create-dirs", "-K", config], check=True)
            unpack(out, files)
        seconds, lines, t0, t1 = self.timed(name, action)
        self.check_tree(os.path.join(case, "release"), module, "curl", extra={"UpdateList.xml"})
        return dict(seconds=seconds, lines=lines, t0=t0, t1=t1)

    def run_loop(self, name, case, port, files, cookies=True):
        """The bare WinINet loop; with archives in the tree it unpacks them
        afterwards as the curl baseline does, so that it is the platform's
        floor for the same work. cookies=False turns WinINet's cookie
        handling off (not what the updater sends)."""
        out = os.path.join(case, "out-loop")
        self.fresh(out)
        listing = os.path.join(self.work, "loop-%s.txt" % name)
        with open(listing, "w") as f:
            for path, _ in files:
                f.write("%s\t%s\n" % (path, path.lstrip("/")))
        extra = () if cookies else ("no-cookies",)

        def action():
            code, output = self.wine(self.loop, "127.0.0.1", str(port), wine_path(listing), wine_path(out), *extra)
            if code != 0:
                raise SystemExit("wininet_loop failed: %s" % output)
            unpack(out, files)
        seconds, lines, t0, t1 = self.timed(name, action)
        if any(path.endswith(".zip") for path, _ in files):
            self.check_tree(os.path.join(case, "release"), os.path.join(out, "update", "suite"), "wininet_loop",
                            extra={"UpdateList.xml"})
        return dict(seconds=seconds, lines=lines, t0=t0, t1=t1)

    @staticmethod
    def check_tree(release, installed, who, extra=()):
        """Every release file arrived whole, by size (bytes are compared once)."""
        problems = []
        for root, _, names in os.walk(release):
            for n in names:
                rel = os.path.relpath(os.path.join(root, n), release)
                got = os.path.join(installed, rel)
                if not os.path.exists(got) or os.path.getsize(got) != os.path.getsize(os.path.join(root, n)):
                    problems.append(rel)
        if problems:
            raise SystemExit("%s left %d files missing or of the wrong size in %s, e.g. %s"
                             % (who, len(problems), installed, problems[:3]))


# ---------------------------------------------------------------- the figures

def parse(line):
    """CONN REQNO "REQUEST" STATUS BYTES "AGENT" PORT SECONDS MSEC"""
    q1 = line.index('"')
    q2 = line.index('" ', q1 + 1)
    conn = int(line[:q1].split()[0])
    status, sent = line[q2 + 2:].split()[:2]
    a2 = line.index('"', line.index('"', q2 + 2) + 1)
    port, seconds, msec = line[a2 + 1:].split()[:3]
    return dict(conn=conn, request=line[q1 + 1:q2], status=int(status), sent=int(sent), port=int(port),
                seconds=float(seconds), at=float(msec))


def traffic(run):
    entries = [parse(l) for l in run["lines"] if l.strip()]
    methods = {}
    for e in entries:
        m = e["request"].split(" ", 1)[0]
        methods[m] = methods.get(m, 0) + 1
    return dict(entries=entries, sent=sum(e["sent"] for e in entries),
                connections=len({e["conn"] for e in entries}), methods=methods)


def split(run, entries):
    """Wall time before the first request, inside requests, between them, after the last."""
    if not entries:
        return None
    inside = sum(e["seconds"] for e in entries)
    first_start = entries[0]["at"] - entries[0]["seconds"]
    between = 0.0
    by_method = {}  # the gaps before requests of each method: a size query's analysis or a download's
    for prev, cur in zip(entries, entries[1:]):
        gap = max(0.0, (cur["at"] - cur["seconds"]) - prev["at"])
        between += gap
        method = cur["request"].split(" ", 1)[0]
        by_method[method] = by_method.get(method, 0.0) + gap
    return dict(before=max(0.0, first_start - run["t0"]), inside=inside, between=between,
                after=max(0.0, run["t1"] - entries[-1]["at"]), by_method=by_method)


def summary(values):
    return statistics.median(values), min(values)


def report(name, shape, files, runs):
    tree_bytes = sum(size for _, size in files)
    payload_files = len(files) - 2
    say("")
    say("case %s: %s" % (name.upper(), shape["title"]))
    say("  tree: %d files + manifest + list, %.1f MiB (%d bytes)" % (payload_files, tree_bytes / MIB, tree_bytes))
    medians = {}
    rows = []
    for who in CONTENDERS:
        if not runs.get(who):
            continue
        med, best = summary([r["seconds"] for r in runs[who]])
        medians[who] = med
        t = [traffic(r) for r in runs[who]]
        rows.append((who, med, best, tree_bytes / MIB / med, statistics.median(x["sent"] for x in t),
                     statistics.median(x["connections"] for x in t), t[-1]["methods"]))
    label = {"updater": "Updater.exe", "curl": "curl + unzip" if shape["archives"] else "curl",
             "loop": "WinINet loop + unzip" if shape["archives"] else "bare WinINet loop",
             "loop_nc": "the same, no cookies"}
    say("  %-20s %9s %9s %9s %14s %7s %6s  %s" % ("", "median s", "best s", "MiB/s", "bytes served", "served", "conns",
                                                 "requests"))
    for who, med, best, rate, sent, conns, methods in rows:
        say("  %-20s %9.2f %9.2f %9.1f %14d %6.3fx %6d  %s"
            % (label[who], med, best, rate, sent, sent / tree_bytes, conns,
               " ".join("%s %d" % kv for kv in sorted(methods.items()))))
    baseline = "curl" if shape["archives"] else "loop"
    if "updater" in medians and baseline in medians:
        # Each repetition's own ratio too: the contenders of one repetition
        # ran back to back, so a load that drifts between repetitions (a
        # shared machine) cancels out of it.
        paired = [u["seconds"] / b["seconds"] for u, b in zip(runs["updater"], runs[baseline])]
        say("  ratio Updater.exe / %s: %.2f (medians), %.2f (bests), %.2f (median of the repetitions' own: %s)"
            % (label[baseline], medians["updater"] / medians[baseline],
               min(r["seconds"] for r in runs["updater"]) / min(r["seconds"] for r in runs[baseline]),
               statistics.median(paired), ", ".join("%.2f" % r for r in paired)))
    if "updater" in medians and baseline != "curl" and "curl" in medians:
        say("  ratio Updater.exe / curl: %.2f (median)" % (medians["updater"] / medians["curl"]))
    if baseline == "curl":
        # The platform's floor against the same baseline: no updater built
        # on WinINet under Wine comes closer than the loop that does the
        # same transfers and unpacking and nothing else.
        for who in ("loop", "loop_nc"):
            if who in medians and "curl" in medians:
                paired = [r["seconds"] / b["seconds"] for r, b in zip(runs[who], runs["curl"])]
                say("  floor: %s / curl + unzip: %.2f (medians), %.2f (median of the repetitions' own)"
                    % (label[who], medians[who] / medians["curl"], statistics.median(paired)))
        # The goal itself: the updater against the floor, run by run.
        if "updater" in medians and "loop" in medians:
            paired = [u["seconds"] / f["seconds"] for u, f in zip(runs["updater"], runs["loop"])]
            say("  ratio Updater.exe / floor (%s): %.2f (medians), %.2f (median of the repetitions' own: %s)"
                % (label["loop"], medians["updater"] / medians["loop"], statistics.median(paired),
                   ", ".join("%.2f" % r for r in paired)))
    # Where the updater's time went, in its median run.
    ordered = sorted(runs["updater"], key=lambda r: r["seconds"])
    run = ordered[len(ordered) // 2]
    t = traffic(run)
    parts = split(run, t["entries"])
    if parts:
        per = 1000.0 / max(1, payload_files)
        say("  Updater.exe median run %.2f s: %.2f s before the first request (start, window), %.2f s inside "
            "nginx's requests, %.2f s between requests, %.2f s after the last"
            % (run["seconds"], parts["before"], parts["inside"], parts["between"], parts["after"]))
        swaps = sorted(r["swap"] for r in runs["updater"])
        say("  swap phase (the installation partly new): median %.3f s, %.3f s per 100 files"
            % (swaps[len(swaps) // 2], swaps[len(swaps) // 2] * 100.0 / max(1, payload_files)))
        say("  per file: %.2f requests, %.2f log lines, %.2f ms between requests, %.2f ms inside requests"
            % (len(t["entries"]) / max(1, payload_files), run["log_lines"] / max(1, payload_files),
               parts["between"] * per, parts["inside"] * per))
        say("  between requests, by the method of the next one: %s"
            % ", ".join("before %s %.2f s (%.2f ms each)" % (m, g, 1000.0 * g / max(1, t["methods"].get(m, 1)))
                        for m, g in sorted(parts["by_method"].items())))
    for who in CONTENDERS[1:]:
        if runs.get(who):
            ordered = sorted(runs[who], key=lambda r: r["seconds"])
            r = ordered[len(ordered) // 2]
            p = split(r, traffic(r)["entries"])
            if p:
                say("  %s median run %.2f s: %.2f before, %.2f inside, %.2f between, %.2f after"
                    % (label[who], r["seconds"], p["before"], p["inside"], p["between"], p["after"]))


def log_stamp(line):
    """Seconds of the day of a log line "[YY-MM-DD hh:mm:ss:mmm] ...", or None."""
    if not line.startswith("[") or "] " not in line:
        return None
    try:
        clock = line[1:line.index("] ")].split(" ")[1].split(":")
        return int(clock[0]) * 3600 + int(clock[1]) * 60 + int(clock[2]) + int(clock[3]) / 1000.0
    except (IndexError, ValueError):
        return None


def swap_seconds(text):
    """The swap phases' seconds in an updater log: from each "Swap : putting"
    line to the "Swap : done" (or undo) line that ends it."""
    total, began = 0.0, None
    for line in text.splitlines():
        line = line.lstrip("\ufeff")
        if "] Swap : putting " in line:
            began = log_stamp(line)
        elif began is not None and ("] Swap : done" in line or "] Swap undone" in line):
            end = log_stamp(line)
            if end is not None:
                total += (end - began) % 86400
            began = None
    return total


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--windows-build", default=os.path.join(SOURCE, "build", "windows"))
    parser.add_argument("--tool", default=os.path.join(SOURCE, "build", "native", "tools", "vireo-tool", "vireo-tool"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--cases", default="ab", help="which cases: a, b or ab")
    parser.add_argument("--lock", default="/work/wine.lock" if os.path.exists("/work/wine.lock") else "",
                        help="file to hold with flock while timing (empty: none)")
    parser.add_argument("--prepare-only", action="store_true", help="generate and publish the suites, time nothing")
    args = parser.parse_args()
    bench = Bench(args)
    cases = [c for c in "ab" if c in args.cases]
    os.makedirs(bench.work, exist_ok=True)
    if args.prepare_only:
        for c in cases:
            prepare_case(bench.work, args.tool, c)
        return 0
    bench.check_inputs()
    prepared = {c: prepare_case(bench.work, args.tool, c) for c in cases}
    try:
        bench.start_display()
        ports = {c: bench.start_server(c, prepared[c])[1] for c in cases}
        bench.take_lock()
        bench.prepare_prefix()
        bench.keeper = wine_desktop.keep(bench.wine_run, bench.windows, bench.env())
        # One untimed run of each Wine program warms the prefix and the page cache.
        results = {c: {who: [] for who in CONTENDERS} for c in cases}
        for c in cases:
            files = tree_files(os.path.join(prepared[c], "tree"))
            say("case %s: warming up" % c.upper())
            bench.run_updater(c, prepared[c], ports[c])
            bench.run_loop(c, prepared[c], ports[c], files)
            for i in range(args.runs):
                results[c]["updater"].append(bench.run_updater(c, prepared[c], ports[c]))
                results[c]["curl"].append(bench.run_curl(c, prepared[c], ports[c], files))
                results[c]["loop"].append(bench.run_loop(c, prepared[c], ports[c], files))
                if CASES[c]["archives"]:
                    results[c]["loop_nc"].append(bench.run_loop(c, prepared[c], ports[c], files, cookies=False))
                say("  run %d: %s" % (i + 1, ", ".join("%s %.2f s" % (who, results[c][who][-1]["seconds"])
                                                       for who in CONTENDERS if results[c][who])))
        wine_desktop.release(bench.keeper)
        bench.release_lock()
        for c in cases:
            report(c, CASES[c], tree_files(os.path.join(prepared[c], "tree")), results[c])
    finally:
        bench.close()
        for c in cases:
            for sub in ("install", "out-curl", "out-loop"):
                shutil.rmtree(os.path.join(prepared[c], sub), ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
