#!/usr/bin/env python3
"""Runs Updater.exe as a process under Wine against nginx, as users meet it.

    e2e_run.py --build WINDOWS_BUILD scenario NAME   one scenario; exit 0 = passed
    e2e_run.py --build WINDOWS_BUILD list            the scenario names
    e2e_run.py --build WINDOWS_BUILD demo --demo-dir DIR [--shot FILE] [--sign-key KEY --public-key PUB]
                                                     release 1.0 updated to 1.1,
                                                     shown and reported

Every scenario works in WINDOWS_BUILD/tests/e2e/work/NAME: an installation
(install/, with Updater.exe at its root and the modules in viewer/ and
printer/), a server tree published from one of the sample suite's releases
(server/html/), and an nginx of its own on a free loopback port, stopped by
its pid at the end. The updater runs in its own Wine prefix (so that its
single-instance mutex meets no other test's updater) on the DISPLAY given,
or on an Xvfb started here. Installed files are compared byte for byte with
the release that should be there.
"""
import argparse
import calendar
import fcntl
import hashlib
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "harness"))
import nginx_fixture  # noqa: E402  (the harness's nginx starter)
import xvfb  # noqa: E402

RUN_TIMEOUT = 120
IDOK, IDCANCEL = 1, 2
IDC_FILE_LABEL_TEXT = "from 127.0.0.1"  # "%1 from %2" in the file label


class Failure(Exception):
    pass


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_tsv(path):
    rows = []
    with open(path) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            module, name, version, stamp = line.rstrip("\n").split("\t")
            rows.append((module, name, version, stamp))
    return rows


# ---------------------------------------------------------------- environment

class Env:
    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.e2e = os.path.join(self.build, "tests", "e2e")
        self.updater = os.path.join(self.build, "src", "app", "program", "Updater.exe")
        # The same program with the test publisher's key (tests/fixtures/trust).
        self.updater_keyed = os.path.join(self.e2e, "UpdaterKeyed.exe")
        self.trust = os.path.join(SOURCE, "tests", "fixtures", "trust")
        self.drive = os.path.join(self.e2e, "e2e_drive.exe")
        self.releases = os.path.join(self.e2e, "releases")
        self.certificates = os.path.join(self.e2e, "work", "certificates")
        self.wine_run = os.path.join(SOURCE, "cmake", "wine-run")
        self.prefix = os.environ.get("VIREO_E2E_WINEPREFIX") or os.path.join(self.e2e, "wineprefix")
        self.tool = self.find_tool()
        self.xvfb = None
        # Under ctest (VIREO_E2E_OWN_DISPLAY set) always on an Xvfb of its own:
        # Wine activates an unmanaged window by taking the X input focus, and
        # on a shared display that would take it from the window tests of the
        # other prefix running beside this one.
        self.display = "" if os.environ.get("VIREO_E2E_OWN_DISPLAY") else os.environ.get("DISPLAY", "")

    def find_tool(self):
        candidates = [os.environ.get("VIREO_E2E_TOOL", ""),
                      os.path.join(os.path.dirname(self.build), "native", "tools", "vireo-tool", "vireo-tool"),
                      os.path.join(SOURCE, "build", "native", "tools", "vireo-tool", "vireo-tool")]
        for c in candidates:
            if c and os.access(c, os.X_OK):
                return c
        raise Failure("no native vireo-tool: build the native preset first (or set VIREO_E2E_TOOL)")

    def wine_env(self):
        env = dict(os.environ)
        env["VIREO_WINEPREFIX"] = self.prefix
        # For Wine's own commands run from here (wineserver -k).
        env["WINEPREFIX"] = self.prefix
        env["DISPLAY"] = self.display
        env["TZ"] = "Asia/Seoul"
        return env

    def ensure_display(self):
        if self.display:
            return
        started = xvfb.start()
        if started is None:
            raise Failure("no free X display for Xvfb")
        self.xvfb, self.display = started

    def close(self):
        if self.xvfb is not None:
            # A wineserver left lingering on this display would outlive it.
            subprocess.run(["/usr/lib/wine/wineserver64", "-k"], env=self.wine_env(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            # -k only asks it to end. Until it has, the next scenario of this
            # prefix would find it still there, and its first Wine program
            # would connect to a server on its way out and end at once.
            subprocess.run(["/usr/lib/wine/wineserver64", "-w"], env=self.wine_env(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
            self.xvfb.terminate()
            self.xvfb.wait()
            self.xvfb = None

    def wine(self, *args, timeout=60):
        return subprocess.run([self.wine_run] + list(args), env=self.wine_env(), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout)


# -------------------------------------------------------------------- server

class Server:
    """nginx from the harness, with a bandwidth limit when asked for."""

    def __init__(self, folder, certificates, rate=None):
        self.folder = folder
        self.certificates = certificates
        self.rate = rate
        self.port = None

    def start(self):
        seed_certificates(self.folder, self.certificates)
        config = nginx_fixture.CONFIG
        if self.rate:
            marker = "        root {dir}/html;\n"
            if marker not in config:
                raise Failure("the harness's nginx configuration changed; no place for limit_rate")
            config = config.replace(marker, marker + "        limit_rate %s;\n" % self.rate, 1)
        saved = nginx_fixture.CONFIG
        nginx_fixture.CONFIG = config
        try:
            with open(os.devnull, "w") as quiet:
                stdout, sys.stdout = sys.stdout, quiet
                try:
                    status = nginx_fixture.start(self.folder)
                finally:
                    sys.stdout = stdout
        finally:
            nginx_fixture.CONFIG = saved
        if status != 0:
            raise Failure("nginx did not start; see %s/error.log" % self.folder)
        with open(os.path.join(self.folder, "port")) as f:
            self.port = int(f.read())
        return self

    def stop(self):
        nginx_fixture.stop(self.folder)

    @property
    def html(self):
        return os.path.join(self.folder, "html")

    def requests(self):
        """Paths and statuses of the GET requests of the access log, slashes
        collapsed, in order."""
        return [(path, status) for method, path, status, _ in self.transfers() if method == "GET"]

    def transfers(self):
        """(method, path, status, body bytes) of every request of the access
        log, slashes collapsed, in order."""
        out = []
        try:
            with open(os.path.join(self.folder, "access.log")) as f:
                for line in f:
                    m = re.search(r'"(GET|HEAD) (\S+) HTTP/[0-9.]+" (\d+) (\d+)', line)
                    if m:
                        out.append((m.group(1), re.sub(r"/+", "/", m.group(2)), int(m.group(3)), int(m.group(4))))
        except FileNotFoundError:
            pass
        return out


def seed_certificates(folder, shared):
    """The harness's nginx serves https too and makes certificates for it
    when its folder has none (four RSA keys: most of a second). The
    scenarios speak plain http, so every one gets a copy of one set, made
    once for all of them in `shared`."""
    os.makedirs(shared, exist_ok=True)
    with open(os.path.join(shared, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        nginx_fixture.make_certificates(shared)
    shutil.copytree(os.path.join(shared, "tls"), os.path.join(folder, "tls"), dirs_exist_ok=True)


class Squid:
    """Debian's squid on a free loopback port, a caching proxy that, as some
    enterprise proxies are, ignores the client's reload (Pragma and
    Cache-Control: no-cache) and keeps what it fetched for an hour. Run in
    the foreground by this process and stopped by its pid."""

    def __init__(self, folder):
        self.folder = folder
        self.process = None
        self.port = None

    def start(self):
        if not shutil.which("squid"):
            raise Failure("no squid: install Debian's package squid (scripts/setup)")
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        os.chmod(self.folder, 0o777)  # squid run as root works as its own user
        self.port = nginx_fixture.free_port()
        config = os.path.join(self.folder, "squid.conf")
        with open(config, "w") as f:
            f.write("\n".join([
                "http_port 127.0.0.1:%d" % self.port,
                "pid_filename %s/squid.pid" % self.folder,
                "cache_log %s/cache.log" % self.folder,
                "access_log stdio:%s/access.log" % self.folder,
                "cache_store_log none",
                "coredump_dir %s" % self.folder,
                "cache_mem 64 MB",
                "maximum_object_size_in_memory 16 MB",
                "acl loopback src 127.0.0.1",
                "http_access allow loopback",
                "http_access deny all",
                "shutdown_lifetime 0 seconds",
                "refresh_pattern . 60 100% 1440 ignore-reload override-expire override-lastmod",
                ""]))
        with open(os.path.join(self.folder, "squid.out"), "wb") as out:
            self.process = subprocess.Popen(["squid", "-N", "-f", config], stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=subprocess.STDOUT)
        wait_for(lambda: nginx_fixture.accepts(self.port) or self.process.poll() is not None, 30,
                 "squid did not start")
        if self.process.poll() is not None:
            raise Failure("squid ended at start; see %s/cache.log" % self.folder)
        return self

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def answers(self, path):
        """squid's cache verdicts (TCP_MISS/200, TCP_MEM_HIT/200 ...) for `path`, in order."""
        out = []
        try:
            with open(os.path.join(self.folder, "access.log")) as f:
                for line in f:
                    m = re.search(r" (TCP_\S+) \d+ GET http://[^/]+(\S+) ", line)
                    if m and re.sub(r"/+", "/", m.group(2)) == path:
                        out.append(m.group(1))
        except FileNotFoundError:
            pass
        return out


# ------------------------------------------------------------- installations

class Run:
    """One run of the updater and what was seen while it ran."""

    def __init__(self):
        self.error_texts = []     # texts of every "Error" box seen
        self.credentials = 0      # credentials dialogs answered
        self.dialog_seen = False  # the update dialog showed
        self.exit_code = None
        self.timed_out = False
        self.killed = False
        self.window_seen = False  # any visible window of the updater's
        self.seconds = None       # from the start to the end of the process
        self.peak_kib = 0         # the process's peak resident memory


def reap(process, run, block=False):
    """True once the updater's process has ended; then process.returncode is
    its exit status and run.peak_kib at least its peak resident memory.
    wine-run ends in an exec of Wine's loader, which then runs Updater.exe in
    that same process: the pid started is the updater's own, and the kernel's
    account of it (wait4) holds its peak memory."""
    if process.returncode is not None:
        return True
    try:
        pid, status, usage = os.wait4(process.pid, 0 if block else os.WNOHANG)
    except ChildProcessError:
        process.returncode = -1
        return True
    if pid == 0:
        return False
    process.returncode = os.waitstatus_to_exitcode(status)
    run.peak_kib = max(run.peak_kib, usage.ru_maxrss)
    return True


class MemoryWatch:
    """Samples the updater's VmHWM (peak resident memory) from /proc every
    20 ms while it runs, next to what wait4 reports at its end."""

    def __init__(self, pid, run):
        self.pid = pid
        self.run = run
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.sample, daemon=True)
        self.thread.start()

    def sample(self):
        while not self.done.wait(0.02):
            try:
                with open("/proc/%d/status" % self.pid) as f:
                    for line in f:
                        if line.startswith("VmHWM:"):
                            self.run.peak_kib = max(self.run.peak_kib, int(line.split()[1]))
            except (FileNotFoundError, ProcessLookupError, ValueError):
                pass

    def stop(self):
        self.done.set()
        self.thread.join(5)


class DialogWatcher:
    """Sets run.dialog_seen once e2e_drive watch reports an update dialog
    shown, and run.window_seen for any window of the updater's: a hook in
    the updater's own thread tells it, so that neither the driver's looks at
    the windows (every 0.2 s) nor a busy machine can miss the window of a
    fast run. Watching from before the updater starts. The same process answers the driver's
    commands (ask), so that a look at the windows starts no Wine process."""

    def __init__(self, env, run):
        self.run = run
        # What it prints on stderr (Wine's report of a crash among it) is
        # shown when it did not start.
        self.errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen([env.wine_run, env.drive, "watch"], env=env.wine_env(),
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.errors, text=True)
        self.ready = threading.Event()
        self.asking = threading.Lock()
        self.answer = []
        self.status = None
        self.answered = threading.Event()
        self.listening = False
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()
        if not self.ready.wait(60) or not self.listening:
            self.stop()
            self.errors.seek(0)
            printed = self.errors.read().decode("utf-8", "replace").strip()
            raise Failure("e2e_drive watch did not start listening (exit code %s)%s"
                          % (self.process.returncode, "; it printed:\n" + printed[-2000:] if printed else ""))

    def read(self):
        for line in self.process.stdout:
            if line.strip() == "ready":
                self.listening = True
                self.ready.set()
            elif line.startswith("shown"):
                self.run.dialog_seen = self.run.window_seen = True
            elif line.startswith("window\t"):
                self.run.window_seen = True
            elif line.startswith("end\t"):
                self.status = int(line.split("\t")[1])
                self.answered.set()
            else:
                self.answer.append(line.rstrip("\n"))
        self.ready.set()  # ended: nobody waits in vain
        self.status = None
        self.answered.set()

    def ask(self, *args, timeout=20):
        """(exit status, output lines) of one e2e_drive command; status None
        when it did not answer in time."""
        with self.asking:
            self.answer = []
            self.status = None
            self.answered.clear()
            try:
                self.process.stdin.write("\t".join(str(a) for a in args) + "\n")
                self.process.stdin.flush()
            except (BrokenPipeError, ValueError):
                return None, []
            if not self.answered.wait(timeout):
                return None, []
            return self.status, self.answer

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.reader.join(10)
        self.process.stdin.close()


class HostileServer:
    """hostile_server.py serving a published tree, with rules for the paths
    that nginx cannot serve as a hostile server would (bodies without end,
    bodies that trickle). Same face as Server."""

    def __init__(self, folder, html, rules):
        self.folder = folder
        self.root = html
        self.rules = rules
        self.process = None
        self.port = None

    def start(self):
        os.makedirs(self.folder, exist_ok=True)
        port_file = os.path.join(self.folder, "hostile.port")
        for stale in (port_file, self.log_path):
            if os.path.exists(stale):
                os.remove(stale)
        command = [sys.executable, os.path.join(HERE, "hostile_server.py"), "--root", self.root,
                   "--port-file", port_file, "--log", self.log_path]
        for path, kind in self.rules.items():
            command += ["--rule", "%s=%s" % (path, kind)]
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=open(os.path.join(self.folder, "hostile.err"), "w"))
        wait_for(lambda: os.path.exists(port_file) or self.process.poll() is not None, 20,
                 "hostile_server.py did not start listening")
        if self.process.poll() is not None:
            raise Failure("hostile_server.py ended at start; see %s/hostile.err" % self.folder)
        with open(port_file) as f:
            self.port = int(f.read())
        return self

    def stop(self):
        if self.process is not None:
            if self.process.poll() is None:
                self.process.kill()
            self.process.wait()
            self.process = None

    @property
    def log_path(self):
        return os.path.join(self.folder, "hostile.log")

    @property
    def html(self):
        return self.root

    def events(self):
        """(time, method, path, sent or None) per log line, in order."""
        out = []
        try:
            with open(self.log_path) as f:
                for line in f:
                    m = re.match(r"^([0-9.]+) (\S+) (\S+)(?: sent=(\d+))?$", line.strip())
                    if m:
                        out.append((float(m.group(1)), m.group(2), m.group(3),
                                    int(m.group(4)) if m.group(4) else None))
        except FileNotFoundError:
            pass
        return out

    def requests(self):
        return [(path, 200) for _, method, path, sent in self.events() if method == "GET" and sent is None]


# The suite's programs, each with the note it appends to when it starts
# (relative to the installation).
START_NOTES = {"Orrery": "viewer/Orrery.started", "PrintAgent": "printer/PrintAgent.started"}


def wait_for(condition, timeout, what, interval=0.05):
    """Polls `condition` until it holds; Failure(what) after `timeout` s."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("%s (waited %d s)" % (what, timeout))
        time.sleep(interval)


class Scenario:
    def __init__(self, env, name):
        self.env = env
        self.name = name
        self.work = os.path.join(env.e2e, "work", name)
        self.install = os.path.join(self.work, "install")
        self.runs = []
        self.output_path = os.path.join(env.e2e, "work", name + ".output.txt")
        if os.path.exists(self.output_path):
            os.remove(self.output_path)
        self.server = Server(os.path.join(self.work, "server"), env.certificates)
        self.problems = []
        self.sign_key = None  # publish signed with this private key
        self.proxy = None     # the updater's http proxy (a Squid), when one stands between
        self.stand_ins = []   # programs started for the scenario, ended at its end

    # -- set-up
    def prepare(self, release=None, rate=None, auth=False, keyed=False, sign_key=None):
        if os.path.isdir(self.work):
            for root, dirs, files in os.walk(self.work):
                for n in dirs + files:
                    try:
                        os.chmod(os.path.join(root, n), 0o755)
                    except OSError:
                        pass
            shutil.rmtree(self.work)
        os.makedirs(self.install)
        self.updater_source = self.env.updater_keyed if keyed else self.env.updater
        if not os.path.exists(self.updater_source):
            raise Failure("no %s: build the windows preset" % self.updater_source)
        shutil.copy2(self.updater_source, os.path.join(self.install, "Updater.exe"))
        if sign_key:
            self.sign_key = sign_key
        if release:
            self.install_release(release)
        self.server.rate = rate
        self.server.start()
        self.base = "auth" if auth else ""
        tree = os.path.join(self.server.html, self.base) if auth else self.server.html
        self.publish("1.1", tree)
        self.address = "127.0.0.1:%d%s" % (self.server.port, "/" + self.base if self.base else "")

    def install_release(self, release):
        for module in ("viewer", "printer"):
            source = os.path.join(self.env.releases, release, module)
            shutil.copytree(source, os.path.join(self.install, module), dirs_exist_ok=True)

    def publish(self, release, tree, keep_tree=False):
        result = subprocess.run([sys.executable, os.path.join(HERE, "make_server_tree.py"),
                                 "--tool", self.env.tool, "--release", os.path.join(self.env.releases, release),
                                 "--out", tree, "--install-root", wine_path(self.install)] +
                                (["--sign-key", self.sign_key] if self.sign_key else []) +
                                (["--keep-tree"] if keep_tree else []),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            raise Failure("server tree not published:\n" + result.stdout)

    # -- the run
    def windows(self):
        """The updater's top-level windows:
        [hwnd, exe, visible, class, title, [(id, class, text)], (left, top, right, bottom)]."""
        _, lines = self.watcher.ask("windows")
        tops = []
        for line in lines:
            parts = line.split("\t")
            if parts[0] == "W" and len(parts) >= 11:
                rect = tuple(int(v) for v in parts[5:9])
                tops.append([parts[1], parts[3], parts[4] == "1", parts[9], parts[10], [], rect])
            elif parts[0] == "C" and len(parts) >= 6 and tops and parts[4] == "1":
                tops[-1][5].append((int(parts[2]), parts[3], parts[5]))
        return [t for t in tops if t[1].lower() == "updater.exe"]

    def click(self, hwnd, button):
        """Presses the dialog's button (IDOK, IDCANCEL) while the updater runs."""
        self.watcher.ask("click", hwnd, button)

    @staticmethod
    def is_update_dialog(window):
        return any(cls.lower() == "msctls_progress32" for _, cls, _ in window[5])

    def run_updater(self, action=None, answer_credentials=False, timeout=RUN_TIMEOUT):
        """Starts Updater.exe ADDRESS in the installation, watches its windows
        (answers error boxes with OK, credentials dialogs with the harness's
        user) and waits for it to end. `action(run, windows, process)` is
        called on every look at the windows."""
        run = Run()
        watcher = self.watcher = DialogWatcher(self.env, run)
        started = time.monotonic()
        # What Wine and the updater print (a crash's report among it) is kept
        # for a failed scenario to show.
        self.runs.append(run)
        os.makedirs(os.path.dirname(self.output_path), exist_ok=True)
        with open(self.output_path, "ab") as output:
            output.write(b"--- run %d\n" % len(self.runs))
            output.flush()
            env = self.env.wine_env()
            if self.proxy:
                env["VIREO_WINE_HTTP_PROXY"] = "http://127.0.0.1:%d" % self.proxy.port
            process = subprocess.Popen([self.env.wine_run, os.path.join(self.install, "Updater.exe"), self.address],
                                       cwd=self.install, env=env, stdin=subprocess.DEVNULL,
                                       stdout=output, stderr=subprocess.STDOUT)
        self.process = process
        memory = MemoryWatch(process.pid, run)
        deadline = time.monotonic() + timeout
        while not reap(process, run):
            if time.monotonic() > deadline:
                run.timed_out = True
                process.kill()
                reap(process, run, block=True)
                break
            wins = self.windows()
            for w in wins:
                hwnd, _, visible, cls, title, controls, _ = w
                if not visible:
                    continue
                run.window_seen = True
                if self.is_update_dialog(w):
                    run.dialog_seen = True
                elif title == "Error":
                    texts = [t for _, c, t in controls if t and t not in ("OK", "Cancel")]
                    if not any(hwnd == h for h, _ in run.error_texts):
                        run.error_texts.append((hwnd, " ".join(texts)))
                    self.click(hwnd, IDOK)
                elif answer_credentials and sum(1 for _, c, _ in controls if c.lower() == "edit") >= 2:
                    self.watcher.ask("credentials", hwnd, nginx_fixture.AUTH_USER, nginx_fixture.AUTH_PASSWORD)
                    run.credentials += 1
            if action is not None and process.returncode is None:
                action(run, wins, process)
            time.sleep(0.2)
        run.seconds = time.monotonic() - started
        memory.stop()
        watcher.stop()
        run.exit_code = process.returncode
        self.wait_for_started_programs()
        return run

    def wait_for_started_programs(self, timeout=20):
        """The updater ends right after starting the suite's programs, which
        write their start notes a moment later: waits until every start the
        log records has its note (or `timeout` s pass, for the checks to
        report)."""
        log = self.log_text()
        deadline = time.monotonic() + timeout
        for program in START_NOTES:
            launched = sum(1 for line in log.splitlines()
                           if "exec Orrery.exe : -> " in line and "\\%s.exe" % program in line)
            while self.starts(program) < launched and time.monotonic() < deadline:
                time.sleep(0.05)

    # -- checks
    def check(self, condition, text):
        if not condition:
            self.problems.append(text)

    def log_text(self):
        path = os.path.join(self.install, "updater_log.txt")
        try:
            with open(path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return ""
        if data.startswith(b"\xff\xfe"):
            data = data[2:]
        return data.decode("utf-16-le", "replace")

    def expected_files(self, release, modules=("viewer", "printer")):
        """installed relative path -> release file it must equal."""
        root = os.path.join(self.env.releases, release)
        expected = {}
        for module, name, _, _ in read_tsv(os.path.join(root, "files.tsv")):
            if module not in modules:
                continue
            rel = module + "/" + name.replace("\\", "/")
            expected[rel] = os.path.join(root, rel)
        if "viewer" in modules:
            # The archive's copy of the updater: not the running updater
            # (that one is in the installation's root), so it is installed
            # like any other item.
            expected["viewer/Updater.exe"] = os.path.join(root, "Updater.exe")
        return expected

    def installed_files(self):
        found = set()
        for root, _, files in os.walk(self.install):
            for n in files:
                found.add(os.path.relpath(os.path.join(root, n), self.install).replace(os.sep, "/"))
        return found

    def check_installed(self, expected, allowed_extra=()):
        """Every expected file equal byte for byte; nothing else but the
        updater, its log, the programs' start notes and allowed extras."""
        found = self.installed_files()
        for rel, source in sorted(expected.items()):
            path = os.path.join(self.install, rel)
            if not os.path.exists(path):
                self.problems.append("missing: " + rel)
                continue
            with open(path, "rb") as a, open(source, "rb") as b:
                if a.read() != b.read():
                    self.problems.append("differs from the release: " + rel)
        known = set(expected) | {"Updater.exe", "updater_log.txt", "update_state.txt"} | set(START_NOTES.values()) \
            | set(allowed_extra)
        for rel in sorted(found - known):
            # A module's record of what it installed, kept where patches are.
            if rel.split("/")[-1] == "~vireo-digests":
                continue
            self.problems.append("left behind: " + rel)

    def starts(self, program):
        try:
            with open(os.path.join(self.install, START_NOTES[program]), encoding="utf-8", errors="replace") as f:
                return f.read().count("command line:")
        except FileNotFoundError:
            return 0

    def check_clean_run(self, run, transfers=True):
        """Ended by itself, without an error box; a run that transfers files
        lasts long enough for the dialog to be seen."""
        self.check(not run.timed_out, "the updater did not end within %d s" % RUN_TIMEOUT)
        self.check(run.dialog_seen or not transfers, "the update dialog never showed")
        self.check(not run.error_texts, "error box shown: %s" % [t for _, t in run.error_texts])

    def fetched(self, since=0):
        """Files fetched for installation (not lists, not size queries)."""
        names = []
        for path, status in self.server.requests()[since:]:
            m = re.match(r"^/(?:auth/)?update/(viewer|printer)/(.+)$", path)
            if m and status == 200 and not m.group(2).endswith("UpdateList.xml"):
                names.append((m.group(1), m.group(2)))
        return names

    def finish(self):
        if self.proxy:
            self.proxy.stop()
        self.server.stop()
        for process in self.stand_ins:
            if process.poll() is None:
                process.kill()
            process.wait()
        self.stand_ins = []
        return self.problems

    # -- helpers of the trust and containment scenarios
    def served(self, rel):
        """The path of a file of the server tree."""
        return os.path.join(self.server.html, *rel.split("/"))

    def rewrite(self, rel, change):
        """Replaces the server file's bytes by change(bytes); the change must
        change something."""
        path = self.served(rel)
        with open(path, "rb") as f:
            before = f.read()
        after = change(before)
        if after == before:
            raise Failure("rewriting %s changed nothing" % rel)
        with open(path, "wb") as f:
            f.write(after)

    def sign(self, rel, key):
        """Signs the server file with stock openssl, as a publisher may."""
        path = self.served(rel)
        subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, "-out", path + ".sig", path], check=True,
                       stdout=subprocess.DEVNULL)

    def repin(self, module):
        """update.xml pins `module`'s list as it now lies in the tree, as a
        publisher does after editing a list by hand (signed again when the
        tree is signed)."""
        with open(self.served("update/%s/UpdateList.xml" % module), "rb") as f:
            listed = f.read()
        pin = b'<update_list size="%d" sha256="%s">' % (len(listed), hashlib.sha256(listed).hexdigest().encode())

        def change(text):
            out, count = re.subn(rb"(<" + module.encode() + rb">\s*)<update_list[^>]*>", lambda m: m.group(1) + pin,
                                 text, 1)
            if count != 1:
                raise Failure("update.xml has no update_list in <%s>" % module)
            return out
        self.rewrite("update.xml", change)
        if self.sign_key:
            self.sign("update.xml", self.sign_key)

    def set_module_field(self, module, field, value):
        """Sets update.xml's <field> of <module> (the manifest as served)."""
        def change(text):
            # The element may carry attributes (an update list's pin).
            pattern = re.compile(rb"(<" + module.encode() + rb">.*?<" + field.encode() + rb"(?:\s[^>]*)?>)(.*?)(</" +
                                 field.encode() + rb">)", re.S)
            out, count = pattern.subn(lambda m: m.group(1) + xml_escape(value).encode("utf-8") + m.group(3),
                                      text, 1)
            if count != 1:
                raise Failure("update.xml has no <%s> in <%s>" % (field, module))
            return out
        self.rewrite("update.xml", change)

    def publish_module(self, module, release_dir, install_path, image=""):
        """Adds a module to the server tree with vireo-tool publish."""
        command = [self.env.tool, "publish", "--release", release_dir, "--out", self.server.html, "--module",
                   module, "--install-path", install_path, "--process-image", image]
        if self.sign_key:
            command += ["--sign-key", self.sign_key]
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            raise Failure("publish %s failed:\n%s" % (module, result.stdout))

    def untouched(self, release, modules=("viewer", "printer")):
        """What an installation of `release` holds when nothing was installed."""
        expected = self.expected_files(release, modules)
        expected.pop("viewer/Updater.exe", None)  # the archive's copy: only an update brings it
        return expected

    def start_stand_in(self, path, linger_ms=120000):
        """Starts a program of the sample suite copied to `path` under Wine,
        lingering (see suite_program.cpp), and returns once it is running
        (its start note written). Ended by finish() unless ended before."""
        base = os.path.splitext(path)[0]
        with open(base + ".linger", "w") as f:
            f.write(str(linger_ms))
        process = subprocess.Popen([self.env.wine_run, wine_path(path)], cwd=os.path.dirname(path),
                                   env=self.env.wine_env(), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.stand_ins.append(process)
        wait_for(lambda: os.path.exists(base + ".started") or process.poll() is not None, 60,
                 "%s did not start" % path)
        if process.poll() is not None:
            raise Failure("%s ended at start (status %s)" % (path, process.returncode))
        return process

    def log_lines(self):
        return self.log_text().split("\r\n")

    def check_log(self, *needles):
        log = self.log_text()
        for needle in needles:
            self.check(needle in log, "log lacks: " + needle)

    def check_nothing_started(self):
        for program in ("Orrery", "PrintAgent"):
            self.check(self.starts(program) == 0, "%s.exe was started" % program)

    def check_no_window(self, run):
        """The run ended by itself without showing any window."""
        self.check(not run.timed_out, "the updater did not end")
        self.check(not run.window_seen and not run.dialog_seen, "a window of the updater showed")
        self.check(not run.error_texts, "error box shown")

    def use_hostile_server(self, rules):
        """Serves the published tree from hostile_server.py with `rules`
        instead of nginx."""
        html = self.server.html
        self.server.stop()
        self.server = HostileServer(os.path.join(self.work, "hostile"), html, rules).start()
        self.address = "127.0.0.1:%d" % self.server.port


def xml_escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


# ----------------------------------------------------------------- scenarios

def wait_for_transfer(name):
    """An action that fires once the dialog's file label names `name`."""
    def seen(windows):
        for w in windows:
            if Scenario.is_update_dialog(w) and any(name in t and IDC_FILE_LABEL_TEXT in t for _, _, t in w[5]):
                return w[0]
        return None
    return seen


def scenario_fresh_install(s):
    """An empty installation gets release 1.1 whole; session files move to
    the viewer; both programs start once."""
    s.prepare(release=None)
    for name, text in (("session.xml", "<session study='1.2.3'/>"), ("external_param.xml", "<params/>")):
        with open(os.path.join(s.install, name), "w") as f:
            f.write(text)
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"), ["viewer/session.xml", "viewer/external_param.xml"])
    for name in ("session.xml", "external_param.xml"):
        s.check(os.path.exists(os.path.join(s.install, "viewer", name)), name + " not moved into viewer")
        s.check(not os.path.exists(os.path.join(s.install, name)), name + " still beside the updater")
    s.check(s.starts("Orrery") == 1, "Orrery.exe started %d times" % s.starts("Orrery"))
    s.check(s.starts("PrintAgent") == 1, "PrintAgent.exe started %d times" % s.starts("PrintAgent"))
    s.check("exec Orrery.exe : -> " + wine_path(s.install) + "\\viewer\\Orrery.exe" in s.log_text(),
            "no launch line for the viewer in the log")


def scenario_second_run(s):
    """After a complete update, a second run fetches the update lists only
    and starts the programs again."""
    s.prepare(release=None)
    first = s.run_updater()
    s.check_clean_run(first)
    before = len(s.server.requests())
    second = s.run_updater()
    s.check_clean_run(second, transfers=False)
    paths = [p for p, _ in s.server.requests()[before:]]
    s.check(paths == ["/update.xml", "/update/viewer/UpdateList.xml", "/update/printer/UpdateList.xml"],
            "second run requested %s" % paths)
    s.check_installed(s.expected_files("1.1"))
    s.check(s.starts("Orrery") == 2 and s.starts("PrintAgent") == 2,
            "programs started %d/%d times over two runs" % (s.starts("Orrery"), s.starts("PrintAgent")))


def scenario_update(s):
    """Release 1.0 installed, 1.1 published: a newer version with an equal
    stamp (imaging.dll), a changed stamp of a data file in a sub-folder, the
    several-item archive with an item named like the updater (installed: it
    is not the running updater's own file); the
    unchanged files are not fetched."""
    s.prepare(release="1.0")
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    fetched = sorted(s.fetched())
    want = sorted([("viewer", "Orrery.exe.zip"), ("viewer", "codec_core.dll.zip"), ("viewer", "imaging.dll"),
                   ("viewer", "presets/window_levels.xml"), ("printer", "printlib.dll")])
    # Size queries (HEADs, or GETs where HEAD is refused) go to the file's own
    # module folder, like its download: a file may show up twice, nothing
    # else may show up.
    s.check(sorted(set(fetched)) == want, "fetched %s" % fetched)
    log = s.log_text()
    for line in ("imaging.dll : old version - 1.0.0.0, new version - 1.0.1.0",
                 "presets\\window_levels.xml : old time - 202403010905, new time - 202406031030",
                 "Orrery.exe : old time - 202403010905, new time - 202406031030"):
        s.check(line in log, "log lacks: " + line)
    s.check(s.starts("Orrery") == 1 and s.starts("PrintAgent") == 1, "programs not started once each")


def scenario_not_found(s):
    """A 404 for the print module's file: the error box shows, the viewer
    was started, the print agent not, and the print module is left whole."""
    s.prepare(release="1.0")
    os.remove(os.path.join(s.server.html, "update", "printer", "printlib.dll"))
    run = s.run_updater()
    s.check(not run.timed_out, "the updater did not end")
    # The box paints its text; which failure it reports shows in the log.
    s.check(len(run.error_texts) == 1, "%d error boxes" % len(run.error_texts))
    s.check(s.starts("Orrery") == 1, "the viewer was not started")
    s.check(s.starts("PrintAgent") == 0, "the print agent was started")
    expected = s.expected_files("1.1", ("viewer",))
    expected.update(s.expected_files("1.0", ("printer",)))
    s.check_installed(expected)
    s.check(re.search(r"Failed to retrieve a HTTP 200 status, Status Code:\D*404", s.log_text()),
            "no 404 line in the log")


def scenario_auth(s):
    """The whole tree needs basic authentication over plain http. Without the
    machine's policy the password would travel in clear: no dialog, nothing
    installed, the log names https as the remedy. With the policy value set,
    the credentials typed into the dialog carry the update through."""
    s.prepare(release="1.0", auth=True)
    refused = s.run_updater(answer_credentials=True)
    s.check(refused.credentials == 0, "a credentials dialog showed for Basic over plain http")
    s.check_no_window(refused)
    s.check_installed({k: v for k, v in s.expected_files("1.0").items() if k != "viewer/Updater.exe"})
    s.check_nothing_started()
    s.check_log("Credentials refused: ", "use the server's https address")
    policy = [r"HKLM\Software\Vireo PACS Updater", "/v", "AllowBasicOverHttp"]
    s.env.wine("reg", "add", *policy, "/t", "REG_DWORD", "/d", "1", "/f")
    try:
        run = s.run_updater(answer_credentials=True)
    finally:
        s.env.wine("reg", "delete", *policy, "/f")
    s.check_clean_run(run)
    s.check(run.credentials >= 1, "no credentials dialog showed")
    s.check_installed(s.expected_files("1.1"))
    s.check(s.starts("Orrery") == 1 and s.starts("PrintAgent") == 1, "programs not started once each")


def scenario_cancel(s):
    """Cancel while the first file is coming, with the viewer running: the
    old release stays as it was, nothing half written, the viewer not ended,
    nothing started, no error box."""
    s.prepare(release="1.0", rate="48k")
    viewer = os.path.join(s.install, "viewer")
    with open(os.path.join(viewer, "Orrery.linger"), "w") as f:
        f.write("120000")
    running = subprocess.Popen([s.env.wine_run, os.path.join(viewer, "Orrery.exe")], cwd=viewer,
                               env=s.env.wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while s.starts("Orrery") == 0 and running.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        s.check(s.starts("Orrery") == 1, "the viewer stand-in did not start")
        seen = wait_for_transfer("Orrery.exe.zip")
        state = {"clicked": False}

        def action(run, windows, process):
            hwnd = seen(windows)
            if hwnd and not state["clicked"]:
                time.sleep(0.5)
                s.click(hwnd, IDCANCEL)
                state["clicked"] = True
        run = s.run_updater(action)
        s.check(running.poll() is None, "the running viewer was ended although nothing was installed")
    finally:
        running.kill()
        running.wait()
    s.check(state["clicked"], "never saw Orrery.exe.zip being fetched")
    s.check(not run.timed_out, "the updater did not end after Cancel")
    s.check(not run.error_texts, "error box after Cancel: %s" % [t for _, t in run.error_texts])
    # What had come of the file is staged for the next run.
    s.check_installed({k: v for k, v in s.expected_files("1.0").items() if k != "viewer/Updater.exe"},
                      allowed_extra=staged_part("Orrery.exe.zip") + ("viewer/Orrery.linger",))
    s.check(s.starts("Orrery") == 1 and s.starts("PrintAgent") == 0, "a program was started after Cancel")


def scenario_server_stopped(s):
    """The server goes away while the first file is coming: an error box,
    the old release whole, no half-written file, nothing started."""
    s.prepare(release="1.0", rate="48k")
    seen = wait_for_transfer("Orrery.exe.zip")
    state = {"stopped": False}

    def action(run, windows, process):
        if not state["stopped"] and seen(windows):
            time.sleep(0.5)
            s.server.stop()
            state["stopped"] = True
    run = s.run_updater(action)
    s.check(state["stopped"], "never saw Orrery.exe.zip being fetched")
    s.check(not run.timed_out, "the updater did not end after the server stopped")
    s.check(len(run.error_texts) == 1, "error boxes: %s" % [t for _, t in run.error_texts])
    s.check_installed({k: v for k, v in s.expected_files("1.0").items() if k != "viewer/Updater.exe"},
                      allowed_extra=staged_part("Orrery.exe.zip"))
    s.check(s.starts("Orrery") == 0 and s.starts("PrintAgent") == 0, "a program was started")


def scenario_read_only(s):
    """An installed read-only file is replaced, and no backup stays."""
    s.prepare(release="1.0")
    target = os.path.join(s.install, "viewer", "imaging.dll")
    os.chmod(target, 0o444)  # Wine shows a file without write permission as read-only
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))


STAGING = "~vireo-staging"


def staged_part(name, module="viewer"):
    """The staged file and its note that a cut transfer of `name` keeps."""
    return (module + "/" + STAGING + "/files/" + name, module + "/" + STAGING + "/resume/" + name)


def restart_server_keeping_tree(s):
    """The server at full speed, serving the very files it served before
    (times kept, so their validators are the same)."""
    kept = os.path.join(s.work, "html-kept")
    shutil.copytree(s.server.html, kept)
    s.server.stop()
    s.server.rate = None
    s.server.start()
    shutil.copytree(kept, s.server.html, dirs_exist_ok=True)
    s.address = "127.0.0.1:%d" % s.server.port


def scenario_killed(s):
    """The updater is killed (SIGKILL) while codec_core.dll.zip is coming:
    the installation is untouched, the part already fetched is staged. A
    kill inside a swap cannot be timed from outside (its steps take
    microseconds), so what one leaves is added to what the real kill left:
    the journal of a swap that had put the new Orrery.exe in place, had
    moved imaging.dll aside without its new copy, and was cut off while
    extracting codec_jpeg.dll. The next run undoes that swap before it
    fetches anything, continues the staged part, and installs the release
    whole."""
    s.prepare(release="1.0", rate="48k")
    seen = wait_for_transfer("codec_core.dll.zip")
    state = {"killed": False}

    staged = os.path.join(s.install, staged_part("codec_core.dll.zip")[0])

    def action(run, windows, process):
        # Killed once the first received bytes are on the disk.
        if not state["killed"] and seen(windows) and os.path.exists(staged) and os.path.getsize(staged) > 0:
            os.kill(process.pid, signal.SIGKILL)
            state["killed"] = True
    s.run_updater(action)
    s.check(state["killed"], "never saw codec_core.dll.zip being staged")
    viewer = os.path.join(s.install, "viewer")
    old = os.path.join(s.env.releases, "1.0", "viewer")
    new = os.path.join(s.env.releases, "1.1", "viewer")
    part = os.path.getsize(staged) if os.path.exists(staged) else 0
    s.check(part > 0, "the kill left no staged part of codec_core.dll.zip")
    staged_before = set(rel for rel in s.installed_files() if "/" + STAGING + "/" in rel)
    s.check_installed({k: v for k, v in s.expected_files("1.0").items() if k != "viewer/Updater.exe"},
                      allowed_extra=staged_before)

    # The swap cut off: Orrery.exe new beside its backup, imaging.dll moved
    # aside, codec_jpeg.dll half extracted beside its backup.
    for name, whole in (("Orrery.exe", True), ("imaging.dll", None), ("codec_jpeg.dll", False)):
        target = os.path.join(viewer, name)
        os.replace(target, target + ".bak")
        if whole is None:
            continue
        with open(os.path.join(new, name), "rb") as f:
            data = f.read()
        with open(target, "wb") as f:
            f.write(data if whole else data[:len(data) // 2])
    with open(os.path.join(viewer, STAGING, "journal"), "w", newline="\n") as f:
        f.write("vireo-swap 1\nT\t32\tOrrery.exe\t\nT\t32\timaging.dll\tfiles\\imaging.dll\n"
                "T\t32\tcodec_jpeg.dll\t\n")

    restart_server_keeping_tree(s)
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    log = s.log_text()
    at = wine_path(viewer)
    for line in ("Interrupted installation undone : %s (3 files)" % at,
                 "Restore file : %s\\Orrery.exe.bak" % at,
                 "Restore file : %s\\imaging.dll.bak" % at,
                 "Restore file : %s\\codec_jpeg.dll.bak" % at,
                 "DownloadFile : resuming codec_core.dll.zip at byte %d" % part):
        s.check(line in log, "log lacks: " + line)
    s.check(log.find("Interrupted installation undone") < log.find("DownloadFile : UpdateList.xml"),
            "the swap was not undone before the module's list was fetched")
    hits = [status for path, status in s.server.requests() if path.endswith("codec_core.dll.zip")]
    s.check(hits == [206], "codec_core.dll.zip was not continued: %s" % hits)
    s.check(s.starts("Orrery") == 1 and s.starts("PrintAgent") == 1, "programs not started once each")


def scenario_missing_file(s):
    """A 404 for presets\\window_levels.xml, the last of the viewer's files
    the update fetches (after two archives and imaging.dll): the error box,
    the installation the old release byte for byte, nothing started, what
    was fetched staged. With the file back, the next run installs the release
    whole and fetches only what was not staged."""
    s.prepare(release="1.0")
    missing = os.path.join(s.server.html, "update", "viewer", "presets", "window_levels.xml")
    kept = os.path.join(s.work, "window_levels.xml.kept")
    shutil.move(missing, kept)
    run = s.run_updater()
    s.check(not run.timed_out, "the updater did not end")
    s.check(len(run.error_texts) == 1, "%d error boxes" % len(run.error_texts))
    s.check(s.starts("Orrery") == 0 and s.starts("PrintAgent") == 0, "a program was started")
    staged = set(rel for rel in s.installed_files() if "/" + STAGING + "/" in rel)
    staged_names = set(rel.split("/files/", 1)[1] for rel in staged if "/files/" in rel)
    s.check({"Orrery.exe.zip", "codec_core.dll.zip", "imaging.dll"} <= staged_names,
            "not staged: %s" % staged_names)
    s.check_installed({k: v for k, v in s.expected_files("1.0").items() if k != "viewer/Updater.exe"},
                      allowed_extra=staged)

    shutil.move(kept, missing)
    before = len(s.server.transfers())
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    sent = [(path, status) for method, path, status, _ in s.server.transfers()[before:]
            if method == "GET" and "/update/viewer/" in path and not path.endswith("UpdateList.xml")]
    s.check(sent == [("/update/viewer/presets/window_levels.xml", 200)] or
            sent == [("/update/viewer/presets%5Cwindow_levels.xml", 200)],
            "the viewer's files fetched by the second run: %s" % sent)
    s.check(s.starts("Orrery") == 1 and s.starts("PrintAgent") == 1, "programs not started once each")


def scenario_swap_locked(s):
    """codec_jpeg.dll is held open by another program (no delete sharing)
    when the viewer's files are swapped in: the swap is undone, the viewer is
    the old release byte for byte with no backup or staged file left, the
    error box shows and nothing is started."""
    s.prepare(release="1.0")
    viewer = os.path.join(s.install, "viewer")
    marker = os.path.join(s.work, "held")
    holder = subprocess.Popen([s.env.wine_run, s.env.drive, "hold", wine_path(os.path.join(viewer, "codec_jpeg.dll")),
                               wine_path(marker)], env=s.env.wine_env(), stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while not os.path.exists(marker) and holder.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        s.check(os.path.exists(marker), "codec_jpeg.dll could not be held")
        run = s.run_updater()
    finally:
        if os.path.exists(marker):
            os.remove(marker)
        try:
            holder.wait(timeout=30)
        except subprocess.TimeoutExpired:
            holder.kill()
            holder.wait()
    s.check(not run.timed_out, "the updater did not end")
    s.check(len(run.error_texts) == 1, "%d error boxes" % len(run.error_texts))
    s.check(s.starts("Orrery") == 0 and s.starts("PrintAgent") == 0, "a program was started")
    s.check_installed({k: v for k, v in s.expected_files("1.0").items() if k != "viewer/Updater.exe"})
    log = s.log_text()
    s.check("Swap undone, every file of the module is as it was -> " + wine_path(viewer) in log,
            "log lacks the undone swap")


def scenario_resume_large(s):
    """A 200 MiB file is cut off at about half by killing the updater; the
    next run continues it: at most 0.6 times its size is served for it, and
    it ends byte for byte the file on the server."""
    s.prepare(release="1.1", rate="25m")
    folder = os.path.join(s.server.html, "update", "viewer")
    big = os.path.join(folder, "big.bin")
    size = 200 * 1024 * 1024
    digest = hashlib.sha256()
    with open(big, "wb") as f:
        for _ in range(size // (4 * 1024 * 1024)):
            block = os.urandom(4 * 1024 * 1024)
            digest.update(block)
            f.write(block)
    listing = os.path.join(folder, "UpdateList.xml")
    with open(listing, "rb") as f:
        text = f.read()
    entry = ('\t<module filename="big.bin" version="" datetime="202406031030" size="%d" sha256="%s"/>\r\n'
             % (size, digest.hexdigest())).encode("ascii")
    with open(listing, "wb") as f:
        f.write(text.replace(b"</update>", entry + b"</update>", 1))
    s.repin("viewer")

    staged = os.path.join(s.install, staged_part("big.bin")[0])
    state = {"killed": False}

    def action(run, windows, process):
        if not state["killed"] and os.path.exists(staged) and os.path.getsize(staged) >= size * 0.45:
            os.kill(process.pid, signal.SIGKILL)
            state["killed"] = True
    s.run_updater(action)
    s.check(state["killed"], "big.bin was never half staged")
    part = os.path.getsize(staged) if os.path.exists(staged) else 0

    restart_server_keeping_tree(s)
    run = s.run_updater()
    s.check_clean_run(run)
    # Installed as the release was laid out, without the archive's copy of
    # the updater, which only an update brings.
    expected = {k: v for k, v in s.expected_files("1.1").items() if k != "viewer/Updater.exe"}
    expected["viewer/big.bin"] = big
    s.check_installed(expected)
    sent = [(status, body) for method, path, status, body in s.server.transfers() if path.endswith("/big.bin")]
    served = sum(body for _, body in sent)
    s.check([status for status, _ in sent] == [206], "big.bin requests: %s" % sent)
    s.check(served <= size * 0.6, "%d bytes of %d served to the second run" % (served, size))
    print("resume_large: %d bytes staged by the killed run, %d served to the second (%.2f of the file)"
          % (part, served, served / size))


def filecmp_equal(a, b):
    try:
        with open(a, "rb") as f, open(b, "rb") as g:
            return f.read() == g.read()
    except FileNotFoundError:
        return False


# ------------------------------------------------- trust: keys and signatures

MiB = 1024 * 1024
MISMATCH = (r"%s : the downloaded file does not match its entry: expected size (\d+) sha256 ([0-9a-f]{64}), "
            r"received size (\d+)( or more)? sha256 ([0-9a-f]{64}|-)")


def test_key(s):
    """The private key whose public half UpdaterKeyed.exe carries."""
    return os.path.join(s.env.trust, "signing-key.pem")


def staged_files(s):
    """The installation's files in a module's staging folder."""
    return set(rel for rel in s.installed_files() if "/" + STAGING + "/" in rel)


def printer_files_fetched(s):
    return [name for module, name in s.fetched() if module == "printer" and not name.endswith("UpdateList.xml.sig")]


def release_file(s, release, rel):
    return os.path.join(s.env.releases, release, *rel.split("/"))


def tool_check(s, public_key):
    """vireo-tool check on the server tree: (exit status, output)."""
    result = subprocess.run([s.env.tool, "check", s.server.html, "--public-key", public_key],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return result.returncode, result.stdout


def scenario_trust_signed_update(s):
    """A keyed updater on a tree signed with its key: release 1.1 installed
    byte for byte, the manifest's signature fetched (its pins stand for the
    lists'), both programs started."""
    s.prepare(release="1.0", keyed=True, sign_key=test_key(s))
    status, output = tool_check(s, os.path.join(s.env.trust, "signing-key.pub.pem"))
    s.check(status == 0, "the signed tree does not check clean:\n" + output)
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    paths = [p for p, _ in s.server.requests()]
    s.check("/update.xml.sig" in paths, "the updater never fetched /update.xml.sig")
    # The signed manifest pins each list whole: the lists' own signatures
    # are not needed.
    for signature in ("/update/viewer/UpdateList.xml.sig", "/update/printer/UpdateList.xml.sig"):
        s.check(signature not in paths, "the updater fetched " + signature + " though the manifest pins its list")
    s.check(s.starts("Orrery") == 1 and s.starts("PrintAgent") == 1, "programs not started once each")


def scenario_trust_file_changed(s):
    """A keyed updater; imaging.dll changed on the server after signing, at
    the same size: the installed imaging.dll stays as it was, the error box
    shows, the log names the file with both hashes, no download is left, the
    print module is not processed and nothing starts."""
    s.prepare(release="1.0", keyed=True, sign_key=test_key(s))
    s.rewrite("update/viewer/imaging.dll", lambda b: b[:len(b) // 2] + bytes([b[len(b) // 2] ^ 0x5A]) +
              b[len(b) // 2 + 1:])
    status, output = tool_check(s, os.path.join(s.env.trust, "signing-key.pub.pem"))
    s.check(status != 0 and "imaging.dll" in output, "vireo-tool check does not name imaging.dll:\n" + output)
    run = s.run_updater()
    s.check(not run.timed_out, "the updater did not end")
    s.check(len(run.error_texts) == 1, "%d error boxes" % len(run.error_texts))
    # The module's files go in together or not at all; the files that did
    # arrive whole stay staged for the next run, the refused one does not.
    staged = staged_files(s)
    s.check(not any(rel.endswith("/imaging.dll") for rel in staged), "the refused imaging.dll stays staged")
    s.check_installed(s.untouched("1.0"), allowed_extra=staged)
    m = re.search(MISMATCH % re.escape("imaging.dll"), s.log_text())
    s.check(m is not None, "no hash mismatch line for imaging.dll in the log")
    if m:
        s.check(m.group(1) == m.group(3) and not m.group(4), "the sizes differ: %s" % m.group(0))
        s.check(m.group(2) != m.group(5), "the hashes agree: %s" % m.group(0))
    s.check(not printer_files_fetched(s), "print module files fetched: %s" % printer_files_fetched(s))
    s.check_nothing_started()


def scenario_trust_list_changed(s):
    """A keyed updater; the print module's list changed after signing (a
    newer version for printlib.dll): nothing of the print module is fetched
    or installed, the error box shows and the log says why; the viewer,
    before it, is updated and started."""
    s.prepare(release="1.0", keyed=True, sign_key=test_key(s))
    s.rewrite("update/printer/UpdateList.xml", lambda b: b.replace(b'version="1.0.2.0"', b'version="1.0.3.0"'))
    run = s.run_updater()
    expected = printer_failed(s, run)
    s.check_installed(expected)
    s.check(not printer_files_fetched(s), "print module files fetched: %s" % printer_files_fetched(s))
    # The logged path carries the requests' doubled leading slash.
    s.check(re.search(r"AnalyzeUpdateList : the update list is not trusted, the update list does not match the "
                      r"manifest's pin: expected size \d+ sha256 [0-9a-fA-F]{64}, received size \d+ sha256 [0-9a-fA-F]{64}"
                      r" -> /+update/printer/UpdateList\.xml", s.log_text()),
            "no line for the list that does not match the manifest's pin in the log")
    s.check(s.starts("Orrery") == 1 and s.starts("PrintAgent") == 0, "programs started: Orrery %d, PrintAgent %d"
            % (s.starts("Orrery"), s.starts("PrintAgent")))


def refused_manifest(s, why):
    """A keyed run whose manifest is not trusted: no window, nothing fetched
    beyond the manifest and its signature, nothing installed or started, the
    log saying why."""
    run = s.run_updater()
    s.check_no_window(run)
    s.check_installed(s.untouched("1.0"))
    s.check_nothing_started()
    paths = [p for p, _ in s.server.requests()]
    s.check(set(paths) <= {"/update.xml", "/update.xml.sig"}, "requested %s" % paths)
    s.check_log(why)


def scenario_trust_manifest_unsigned(s):
    """A keyed updater; update.xml.sig removed from a signed tree."""
    s.prepare(release="1.0", keyed=True, sign_key=test_key(s))
    os.remove(s.served("update.xml.sig"))
    refused_manifest(s, "The manifest is not trusted: its signature update.xml.sig is missing")


def scenario_trust_other_key(s):
    """A keyed updater; the tree signed whole with another key."""
    s.prepare(release="1.0", keyed=True)
    s.sign_key = os.path.join(s.work, "other-key.pem")
    subprocess.run(["openssl", "ecparam", "-genkey", "-name", "prime256v1", "-noout", "-out", s.sign_key],
                   check=True)
    s.publish("1.1", s.server.html)
    refused_manifest(s, "The manifest is not trusted: the signature does not match the document and the "
                        "updater's key")


def scenario_trust_unkeyed_hash(s):
    """An unkeyed updater, an unsigned tree whose list declares for
    printlib.dll a SHA-256 that the served file does not have: printlib.dll
    is refused (error box, installed copy untouched, both hashes logged), the
    viewer before it updated."""
    s.prepare(release="1.0")
    wrong = hashlib.sha256(b"not printlib.dll").hexdigest().encode()
    s.rewrite("update/printer/UpdateList.xml",
              lambda b: re.sub(rb'(filename="printlib.dll"[^>]*sha256=")[0-9a-f]{64}', lambda m: m.group(1) + wrong, b))
    s.repin("printer")  # the list is as its publisher meant it; only the file differs
    run = s.run_updater()
    expected = printer_failed(s, run)
    s.check_installed(expected)
    m = re.search(MISMATCH % re.escape("printlib.dll"), s.log_text())
    s.check(m is not None and m.group(2) == wrong.decode() and m.group(5) != wrong.decode(),
            "no hash mismatch line for printlib.dll naming the declared hash")
    s.check(s.starts("Orrery") == 1 and s.starts("PrintAgent") == 0, "programs started: Orrery %d, PrintAgent %d"
            % (s.starts("Orrery"), s.starts("PrintAgent")))


def strip_release_attributes(s):
    """update.xml as publishers wrote it before serials and pins."""
    s.rewrite("update.xml", lambda b: re.sub(rb' (serial|expires|size|sha256)="[^"]*"', b"", b))


def scenario_trust_old_tree(s):
    """An unkeyed updater on a tree as older publishers wrote it: no size,
    no sha256, no signatures, no serial or pins. It updates as before: sizes
    asked of the server, release 1.1 byte for byte."""
    s.prepare(release="1.0")
    strip_release_attributes(s)
    for module in ("viewer", "printer"):
        s.rewrite("update/%s/UpdateList.xml" % module,
                  lambda b: re.sub(rb' (size|sha256)="[^"]*"', b"", b))
    for root, _, files in os.walk(s.server.html):
        for n in files:
            s.check(not n.endswith(".sig"), "signature in an unsigned tree: " + n)
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    with open(os.path.join(s.server.folder, "access.log")) as f:
        heads = sum(1 for line in f if re.search(r'"HEAD /+update/', line))
    s.check(heads >= 1, "no size query (HEAD) for a list without sizes")
    s.check(s.starts("Orrery") == 1 and s.starts("PrintAgent") == 1, "programs not started once each")


# ------------------------------------------------- trust: across releases

def state_serial(s):
    """The serial update_state.txt keeps, or None."""
    try:
        with open(os.path.join(s.install, "update_state.txt"), "rb") as f:
            m = re.match(rb"serial=([0-9]+)\r?\n", f.read())
    except FileNotFoundError:
        return None
    return int(m.group(1)) if m else None


def manifest_serial(tree):
    with open(os.path.join(tree, "update.xml"), "rb") as f:
        m = re.search(rb'<update[^>]* serial="([0-9]+)"', f.read())
    return int(m.group(1)) if m else None


def tool_resign(s, *options):
    result = subprocess.run([s.env.tool, "resign", s.server.html, "--sign-key", s.sign_key] + list(options),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        raise Failure("resign failed:\n" + result.stdout)


def refused_again(s, why, installed):
    """A keyed run whose manifest is refused after earlier runs: no window,
    nothing fetched beyond the manifest and its signature, the installation
    as it was, the log saying why."""
    since = len(s.server.requests())
    kept = state_serial(s)
    run = s.run_updater()
    s.check_no_window(run)
    s.check_installed(installed)
    paths = [p for p, _ in s.server.requests()[since:]]
    s.check(set(paths) <= {"/update.xml", "/update.xml.sig"}, "requested %s" % paths)
    s.check_log(why)
    s.check(state_serial(s) == kept, "the kept serial changed: %s -> %s" % (kept, state_serial(s)))


def scenario_trust_rollback(s):
    """A keyed updater installs release 1.0, then 1.1 published on top of
    it (a higher serial); the saved tree of 1.0, served again, is refused
    with both serials in the log, and the files stay at 1.1."""
    s.prepare(keyed=True, sign_key=test_key(s))
    s.publish("1.0", s.server.html)
    saved = os.path.join(s.work, "tree-1.0")
    shutil.copytree(s.server.html, saved)
    old = manifest_serial(saved)
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.0"))
    s.check(state_serial(s) == old, "kept serial %s after release 1.0 (serial %s)" % (state_serial(s), old))
    s.check_log("No update state file update_state.txt: started afresh")
    s.publish("1.1", s.server.html, keep_tree=True)
    new = manifest_serial(s.server.html)
    s.check(old is not None and new is not None and new > old, "serials %s then %s" % (old, new))
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    s.check(state_serial(s) == new, "kept serial %s after release 1.1 (serial %s)" % (state_serial(s), new))
    shutil.rmtree(s.server.html)
    shutil.copytree(saved, s.server.html)
    refused_again(s, "The manifest is refused: its serial %s is lower than the serial %s this updater has "
                     "accepted" % (old, new), s.expected_files("1.1"))
    # The same serial with other bytes: release 1.1's serial on a changed manifest.
    s.publish("1.1", s.server.html)
    for _ in range(new - manifest_serial(s.server.html)):
        tool_resign(s)
    s.rewrite("update.xml", lambda b: b.replace(b"</update>", b"<!-- other bytes --></update>"))
    s.sign("update.xml", s.sign_key)
    refused_again(s, "The manifest is refused: its serial %s equals the serial %s this updater has accepted, but "
                     "its content differs" % (new, new), s.expected_files("1.1"))


def scenario_trust_expired(s):
    """A keyed updater; update.xml signed with an expiry in the past is
    refused (both times in the log); the same tree after `vireo-tool
    resign --expires-in 7d` is installed."""
    s.prepare(release="1.0", keyed=True, sign_key=test_key(s))
    s.rewrite("update.xml", lambda b: b.replace(b"<update ", b'<update expires="2020-01-02T03:04:05Z" ', 1))
    s.sign("update.xml", s.sign_key)
    status, output = tool_check(s, os.path.join(s.env.trust, "signing-key.pub.pem"))
    s.check(status == 1 and "update.xml: expired at 2020-01-02T03:04:05Z" in output,
            "vireo-tool check does not fail the expired tree:\n" + output)
    refused_manifest(s, "The manifest is refused: it expired at 2020-01-02T03:04:05Z, and the updater's clock says ")
    s.check(state_serial(s) is None, "an expired manifest's serial was kept")
    tool_resign(s, "--expires-in", "7d")
    status, output = tool_check(s, os.path.join(s.env.trust, "signing-key.pub.pem"))
    s.check(status == 0, "the re-signed tree does not check clean:\n" + output)
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    s.check(state_serial(s) == manifest_serial(s.server.html), "the re-signed serial is not kept")
    s.check(s.starts("Orrery") == 1 and s.starts("PrintAgent") == 1, "programs not started once each")


def scenario_trust_second_key(s):
    """The keyed updater knows two keys; a tree signed with the second is
    installed."""
    s.prepare(release="1.0", keyed=True, sign_key=os.path.join(s.env.trust, "pkcs8-key.pem"))
    result = subprocess.run([s.env.tool, "check", s.server.html, "--public-key",
                             os.path.join(s.env.trust, "signing-key.pub.pem"), "--public-key",
                             os.path.join(s.env.trust, "pkcs8-key.pub.pem")],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    s.check(result.returncode == 0, "the tree does not check clean with both keys:\n" + result.stdout)
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    s.check(s.starts("Orrery") == 1 and s.starts("PrintAgent") == 1, "programs not started once each")


def scenario_trust_state_deleted(s):
    """A keyed updater whose update_state.txt is deleted, then damaged,
    after an update: each next run says so in the log, starts afresh and
    works, and keeps the serial again."""
    s.prepare(release="1.0", keyed=True, sign_key=test_key(s))
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    serial = manifest_serial(s.server.html)
    s.check(state_serial(s) == serial, "kept serial %s, the manifest's %s" % (state_serial(s), serial))
    state = os.path.join(s.install, "update_state.txt")
    for damage, line in ((lambda: os.remove(state), "No update state file update_state.txt: started afresh"),
                         (lambda: open(state, "wb").write(b"serial=9\nsha256="),
                          "The update state file update_state.txt is unreadable: started afresh")):
        damage()
        run = s.run_updater()
        s.check_clean_run(run, transfers=False)
        s.check_log(line)
        s.check_installed(s.expected_files("1.1"))
        s.check(state_serial(s) == serial, "kept serial %s after a fresh start" % state_serial(s))
        s.check(not os.path.exists(state + ".new"), "update_state.txt.new left behind")


def scenario_trust_old_tree_keyed(s):
    """A keyed updater on a signed tree published before serials and pins
    (each list signed): installed, the log noting it. Once the tree is
    re-signed with `vireo-tool resign` (a serial), the old manifest is
    refused."""
    s.prepare(release="1.0", keyed=True, sign_key=test_key(s))
    strip_release_attributes(s)
    s.sign("update.xml", s.sign_key)
    with open(s.served("update.xml"), "rb") as f:
        legacy, legacy_sig = f.read(), open(s.served("update.xml.sig"), "rb").read()
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    s.check_log("The manifest carries no serial (published before serials): accepted")
    s.check(state_serial(s) is None, "a serial was kept for a manifest without one")
    tool_resign(s)
    run = s.run_updater()
    s.check_clean_run(run, transfers=False)
    s.check(state_serial(s) == 1, "kept serial %s after resign" % state_serial(s))
    for name, data in (("update.xml", legacy), ("update.xml.sig", legacy_sig)):
        with open(s.served(name), "wb") as f:
            f.write(data)
    refused_again(s, "The manifest is refused: it carries no serial, and this updater has accepted serial 1",
                  s.expected_files("1.1"))


def scenario_trust_proxy_expired(s):
    """A keyed updater behind squid set to ignore reloads. Release 1.1,
    signed to expire shortly, is installed through it; the publisher then
    signs the tree again for a week, but squid keeps serving its copy of
    update.xml. Once that copy has expired, the updater refuses it with its
    log line instead of taking it as current."""
    s.prepare(release="1.0", keyed=True, sign_key=test_key(s))
    s.proxy = Squid(os.path.join(s.work, "squid")).start()
    tool_resign(s, "--expires-in", "40s")
    with open(s.served("update.xml"), "rb") as f:
        expires = re.search(rb'expires="([^"]+)"', f.read()).group(1).decode()
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    s.check(s.proxy.answers("/update.xml") == ["TCP_MISS/200"], "squid's answers: %s" % s.proxy.answers("/update.xml"))
    tool_resign(s, "--expires-in", "7d")
    deadline = calendar.timegm(time.strptime(expires, "%Y-%m-%dT%H:%M:%SZ")) + 2
    wait_for(lambda: time.time() > deadline, 120, "the expiry did not pass")
    since = len(s.server.requests())
    run = s.run_updater()
    s.check_no_window(run)
    s.check_installed(s.expected_files("1.1"))
    s.check(s.proxy.answers("/update.xml")[1:] == ["TCP_MEM_HIT/200"] or
            s.proxy.answers("/update.xml")[1:] == ["TCP_HIT/200"],
            "squid did not serve update.xml from its cache: %s" % s.proxy.answers("/update.xml"))
    s.check(not [p for p, _ in s.server.requests()[since:] if p == "/update.xml"], "update.xml reached nginx")
    s.check_log("The manifest is refused: it expired at %s, and the updater's clock says " % expires)


def scenario_trust_list_swapped(s):
    """A keyed updater; the print module's signed list (and its .sig) served
    at the viewer's list path: the viewer module is refused for its pin,
    nothing of it installed. Needs the update run's check of list pins."""
    s.prepare(release="1.0", keyed=True, sign_key=test_key(s))
    for suffix in ("", ".sig"):
        shutil.copyfile(s.served("update/printer/UpdateList.xml" + suffix), s.served("update/viewer/UpdateList.xml" + suffix))
    run = s.run_updater()
    s.check(not run.timed_out, "the updater did not end")
    s.check(len(run.error_texts) == 1, "%d error boxes" % len(run.error_texts))
    s.check_installed(s.untouched("1.0"), allowed_extra=staged_files(s))
    s.check(not any(module == "viewer" for module, _ in s.fetched()), "viewer files fetched")
    s.check_log("the update list does not match the manifest's pin")
    s.check_nothing_started()


def scenario_trust_list_old(s):
    """A keyed updater; release 1.1 published on top of 1.0, then the
    viewer's signed list of 1.0 (and its .sig) served under the current
    manifest: the viewer module is refused for its pin. Needs the update
    run's check of list pins."""
    s.prepare(release="1.0", keyed=True, sign_key=test_key(s))
    s.publish("1.0", s.server.html)
    old_list = {suffix: open(s.served("update/viewer/UpdateList.xml" + suffix), "rb").read() for suffix in ("", ".sig")}
    s.publish("1.1", s.server.html, keep_tree=True)
    for suffix, data in old_list.items():
        with open(s.served("update/viewer/UpdateList.xml" + suffix), "wb") as f:
            f.write(data)
    run = s.run_updater()
    s.check(not run.timed_out, "the updater did not end")
    s.check(len(run.error_texts) == 1, "%d error boxes" % len(run.error_texts))
    s.check_installed(s.untouched("1.0"), allowed_extra=staged_files(s))
    s.check(not any(module == "viewer" for module, _ in s.fetched()), "viewer files fetched")
    s.check_log("the update list does not match the manifest's pin")
    s.check_nothing_started()


# ---------------------------------------------------------- trust: the bounds

def rule_duration(s, path):
    """Seconds from the request of `path` (the first) to its response's end,
    as the hostile server saw them, and the bytes it sent."""
    begun = ended = sent = None
    for t, method, p, n in s.server.events():
        if method == "GET" and p == path:
            if n is None and begun is None:
                begun = t
            elif n is not None and begun is not None and ended is None:
                ended, sent = t, n
    if begun is None or ended is None:
        return None, None
    return ended - begun, sent


def check_peak(s, run, what):
    s.check(run.peak_kib > 0, "no memory figure for the updater")
    s.check(run.peak_kib < 64 * 1024, "%s: peak memory %.1f MiB, 64 MiB allowed" % (what, run.peak_kib / 1024))
    print("%s: %s: the updater's peak resident memory %.1f MiB, ended after %.1f s" % (
        s.name, what, run.peak_kib / 1024, run.seconds))


def endless_manifest(s, kind, line):
    """update.xml served by the rule `kind`: the updater stops at the 1 MiB a
    manifest may have, with its log line, no window, nothing installed or
    started, and stays under 64 MiB."""
    s.prepare(release="1.0")
    s.use_hostile_server({"/update.xml": kind})
    run = s.run_updater(timeout=60)
    s.check_no_window(run)
    s.check(run.seconds < 30, "the updater took %.1f s" % run.seconds)
    s.check_log(line)
    check_peak(s, run, kind + " manifest")
    _, sent = rule_duration(s, "/update.xml")
    if sent is not None:
        print("%s: the server sent %.1f MiB before the updater went away" % (s.name, sent / MiB))
    s.check_installed(s.untouched("1.0"))
    s.check_nothing_started()


def scenario_bound_endless_manifest(s):
    """update.xml without end (no Content-Length)."""
    endless_manifest(s, "endless", "The manifest runs past 1048576 bytes, more than a manifest may have")


def scenario_bound_declared_manifest(s):
    """update.xml declaring a Content-Length of 2^31-1, its body without end."""
    endless_manifest(s, "huge", "The manifest declares 2147483647 bytes, more than the 1048576 a manifest may have")


def printer_failed(s, run):
    """The run ended with one error box. Returns the files to expect: the
    viewer new, the printer untouched."""
    s.check(not run.timed_out, "the updater did not end")
    s.check(len(run.error_texts) == 1, "%d error boxes" % len(run.error_texts))
    expected = s.expected_files("1.1", ("viewer",))
    expected.update(s.untouched("1.0", ("printer",)))
    return expected


def run_printer_failing(s, path, kind, timeout):
    """Release 1.0 installed, the printer module's `path` served by the
    hostile rule `kind`: the updater ends within `timeout` with one error
    box. Returns the run and printer_failed's files."""
    s.prepare(release="1.0")
    s.use_hostile_server({path: kind})
    run = s.run_updater(timeout=timeout)
    return run, printer_failed(s, run)


def endless_file(s, kind):
    """printlib.dll served by the rule `kind` while its entry declares its
    size: the transfer stops as soon as the body runs past that size, the
    log names the file, the error box shows, the installed copy stays and no
    download is left."""
    run, expected = run_printer_failing(s, "/update/printer/printlib.dll", kind, 90)
    s.check_installed(expected)
    m = re.search(MISMATCH % re.escape("printlib.dll"), s.log_text())
    s.check(m is not None and m.group(4) == " or more", "no line for printlib.dll running past its size")
    size = os.path.getsize(release_file(s, "1.1", "printer/printlib.dll"))
    if m:
        s.check(int(m.group(1)) == size, "expected size %s, the file has %d" % (m.group(1), size))
    _, sent = rule_duration(s, "/update/printer/printlib.dll")
    print("%s: the updater ended after %.1f s; the server sent %s bytes of the endless body (declared %d)" % (
        s.name, run.seconds, sent, size))
    s.check(s.starts("PrintAgent") == 0, "the print agent was started")


def scenario_bound_endless_file(s):
    """printlib.dll without end (no Content-Length)."""
    endless_file(s, "endless")


def scenario_bound_declared_file(s):
    """printlib.dll declaring a Content-Length of 2^31-1, its body without end."""
    endless_file(s, "huge")


def scenario_bound_endless_list(s):
    """The print module's update list without end: the download stops past
    the 64 MiB a list may have, with its log line and the error box, and
    nothing of the print module is installed; no list copy is left in the
    temporary folder."""
    run, expected = run_printer_failing(s, "/update/printer/UpdateList.xml", "endless", 120)
    s.check_installed(expected)
    m = re.search(r"DownloadFile : UpdateList\.xml is larger than the 67108864 bytes such a document may have "
                  r"\((\d+) bytes\)", s.log_text())
    s.check(m is not None, "no line for the list running past 64 MiB")
    left = private_list_folders(s)
    s.check(not left, "list folders left in the temporary folder: %s" % left)
    _, sent = rule_duration(s, "/update/printer/UpdateList.xml")
    print("%s: the updater ended after %.1f s (peak memory %.1f MiB); the server sent %s bytes of the list" % (
        s.name, run.seconds, run.peak_kib / 1024, sent))
    s.check(s.starts("PrintAgent") == 0, "the print agent was started")


def private_list_folders(s):
    users = os.path.join(s.env.prefix, "drive_c", "users")
    found = []
    for root, dirs, _ in os.walk(users):
        found += [os.path.join(root, d) for d in dirs if d.startswith("vireo-update-")]
        dirs[:] = [d for d in dirs if not d.startswith("vireo-update-") and not os.path.islink(os.path.join(root, d))]
    return found


def check_stall_time(s, path, what):
    """The trickled request lasted the 30 s window, and not much longer (a
    read comes every 3 s; the server sees the close within 3 s more)."""
    seconds, sent = rule_duration(s, path)
    s.check(seconds is not None, "the server saw no end of %s" % path)
    if seconds is not None:
        s.check(29.0 <= seconds <= 45.0, "%s: the trickled transfer lasted %.1f s" % (what, seconds))
        print("%s: %s: the trickled transfer was given up after %.1f s (%d bytes sent)" % (s.name, what, seconds, sent))


def slow_startup(s, kind, line, what):
    """update.xml served by the hostile rule `kind`: start-up gives it up
    within the 30 s window with the log line `line`, shows no window, and
    installs and starts nothing."""
    s.prepare(release="1.0")
    s.use_hostile_server({"/update.xml": kind})
    run = s.run_updater(timeout=120)
    s.check_no_window(run)
    s.check_log(line)
    check_stall_time(s, "/update.xml", what)
    s.check_installed(s.untouched("1.0"))
    s.check_nothing_started()


def scenario_bound_slow_manifest(s):
    """update.xml sent one byte every 3 s: the updater gives up once 30 s
    brought less than 1 KiB."""
    slow_startup(s, "trickle", "The server sent less than 1 KiB of the manifest in 30 s", "manifest")


def scenario_bound_slow_denied(s):
    """update.xml answered 401 with a page sent one byte every 3 s: no
    credentials dialog; the page is given up."""
    slow_startup(s, "denied", "did not arrive in time", "the 401 page")


def slow_file(s, kind, line):
    """printlib.dll served by the rule `kind`: the transfer is given up after
    30 s with the log line `line` and the error box; the installed copy
    stays (the few bytes that came may stay staged for the next run to
    continue), the print agent is not started."""
    _, expected = run_printer_failing(s, "/update/printer/printlib.dll", kind, 150)
    s.check_installed(expected, allowed_extra=staged_part("printlib.dll", "printer"))
    s.check_log(line)
    check_stall_time(s, "/update/printer/printlib.dll", "printlib.dll")
    s.check(s.starts("PrintAgent") == 0, "the print agent was started")


def scenario_bound_slow_file(s):
    """printlib.dll sent one byte every 3 s: the transfer stops once 30 s
    brought less than 1 KiB."""
    slow_file(s, "trickle",
              "DownloadFile : the server sent less than 1 KiB in 30 s, transfer stopped -> printlib.dll")


def scenario_bound_slow_block(s):
    """printlib.dll sent fast but for its last 1 KiB, then one byte every
    3 s: the worker, reading in blocks once the body streamed, waits in a
    block the server stopped filling, and the window gives it up after 30 s
    as a stalled transfer."""
    slow_file(s, "stutter", "DownloadFile : a read waited 30 s for the server, transfer stopped")


def scenario_bound_slow_cancel(s):
    """printlib.dll sent one byte every 3 s and Cancel pressed just after a
    byte went out, when the worker's read has the longest wait for the next
    one: the updater ends within 2 s of the press, the installed copy stays,
    no error box, the print agent not started."""
    s.prepare(release="1.0")
    s.use_hostile_server({"/update/printer/printlib.dll": "trickle"})
    seen = wait_for_transfer("printlib.dll")
    state = {"pressed": None, "ended": None}

    def action(run, windows, process):
        hwnd = seen(windows)
        if hwnd and state["pressed"] is None:
            asked = wait_for(lambda: [t for t, m, p, n in s.server.events()
                                      if m == "GET" and p == "/update/printer/printlib.dll" and n is None], 20,
                             "printlib.dll never requested")[0]
            # The server sends a byte at the request's time and every 3 s
            # after (hostile_server.py); the press goes out 0.1 s after one,
            # at least 1 s into the transfer.
            now = time.time()
            beat = asked + 3.0 * max(1, int((now - asked) / 3.0) + 1) + 0.1
            time.sleep(max(0.0, beat - time.time()))
            s.click(hwnd, IDCANCEL)
            state["pressed"] = time.monotonic()
            wait_for(lambda: reap(process, run), 30, "the updater did not end after Cancel", interval=0.01)
            state["ended"] = time.monotonic()
    run = s.run_updater(action, timeout=150)
    s.check(state["pressed"] is not None, "never saw printlib.dll being fetched")
    if state["ended"] is not None:
        took = state["ended"] - state["pressed"]
        print("%s: the updater ended %.2f s after Cancel was pressed" % (s.name, took))
        s.check(took <= 2.0, "the updater ended %.2f s after Cancel" % took)
    s.check(not run.error_texts, "error box after Cancel")
    s.check_log("Cancel : the update ended while it waited on the server")
    expected = s.expected_files("1.1", ("viewer",))
    expected.update(s.untouched("1.0", ("printer",)))
    s.check_installed(expected, allowed_extra=staged_part("printlib.dll", "printer"))
    s.check(s.starts("PrintAgent") == 0, "the print agent was started")


# ---------------------------------------------------------------- containment

def tools_release(s, files):
    """A release folder for a third module: {name: source file}, every file
    with the new release's time."""
    folder = os.path.join(s.work, "tools-release")
    os.makedirs(folder, exist_ok=True)
    stamp = calendar.timegm((2024, 6, 3, 1, 30, 0))  # 10:30 in Korea
    for name, source in files.items():
        shutil.copyfile(source, os.path.join(folder, name))
        os.utime(os.path.join(folder, name), (stamp, stamp))
    return folder


def same_name_setup(s):
    """Release 1.0 installed, and a module "tools" in the updater's own folder
    listing victim.exe (a new build). victim.exe runs twice, lingering: first
    from a folder outside the installation, then the suite's own copy."""
    s.prepare(release="1.0")
    old = release_file(s, "1.0", "printer/PrintAgent.exe")
    new = release_file(s, "1.1", "viewer/Orrery.exe")
    s.publish_module("tools", tools_release(s, {"victim.exe": new}), "")
    elsewhere = os.path.join(s.work, "elsewhere")
    os.makedirs(elsewhere)
    for folder in (elsewhere, s.install):
        shutil.copyfile(old, os.path.join(folder, "victim.exe"))
    other = s.start_stand_in(os.path.join(elsewhere, "victim.exe"))
    suites = s.start_stand_in(os.path.join(s.install, "victim.exe"))
    return other, suites, old, new


def scenario_contain_same_name(s):
    """victim.exe runs from another folder and from the installation; the
    update replaces the installation's copy: that copy's process is ended
    (and logged), the other one, started first, runs on."""
    other, suites, old, new = same_name_setup(s)
    run = s.run_updater()
    s.check_clean_run(run)
    expected = s.expected_files("1.1")
    expected["victim.exe"] = new
    s.check_installed(expected, ["victim.linger", "victim.started"])
    s.check_log("CloseRunningProgram : ended -> %s\\victim.exe" % wine_path(s.install))
    # Ended means gone for Windows; Wine's process for it follows at once.
    try:
        wait_for(lambda: suites.poll() is not None, 10, "the installation's victim.exe still runs")
    except Failure as e:
        s.problems.append(str(e))
    s.check(other.poll() is None, "victim.exe of the other folder was ended")
    s.check("CloseRunningProgram" not in s.log_text().replace(
        "CloseRunningProgram : ended -> %s\\victim.exe" % wine_path(s.install), ""),
        "another CloseRunningProgram line in the log")


def scenario_contain_not_found(s):
    """As above, but the server answers 404 for victim.exe: nothing is
    ended, both copies run on, the installed copy stays, the error box shows."""
    other, suites, old, new = same_name_setup(s)
    os.remove(s.served("update/tools/victim.exe"))
    run = s.run_updater()
    s.check(not run.timed_out, "the updater did not end")
    s.check(len(run.error_texts) == 1, "%d error boxes" % len(run.error_texts))
    expected = s.expected_files("1.1")
    expected["victim.exe"] = old
    s.check_installed(expected, ["victim.linger", "victim.started"])
    s.check(re.search(r"Failed to retrieve a HTTP 200 status, Status Code:\D*404", s.log_text()),
            "no 404 line in the log")
    s.check("CloseRunningProgram" not in s.log_text(), "a CloseRunningProgram line in the log")
    s.check(suites.poll() is None, "the installation's victim.exe was ended")
    s.check(other.poll() is None, "victim.exe of the other folder was ended")


def scenario_contain_process_image(s):
    """The viewer's process_image climbs out of its folder to a program that
    exists there: it is not started (the log says why); the print agent,
    started after it, is."""
    s.prepare(release="1.0")
    outside = os.path.join(s.work, "outside")
    os.makedirs(outside)
    shutil.copyfile(release_file(s, "1.0", "printer/PrintAgent.exe"), os.path.join(outside, "marker.exe"))
    image = "..\\..\\outside\\marker.exe"
    s.set_module_field("viewer", "process_image", image)
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    s.check_log("exec Orrery.exe : not started, the program is outside the install folder -> " + image)
    # The print agent is started after the viewer's program would have been:
    # once its note is there, a started marker would have left one too.
    # (The log does not say whether a launch succeeded: a failure names the
    # line that asked for it.)
    wait_for(lambda: s.starts("PrintAgent") == 1, 30, "the print agent was not started (log: %s)" % (
        "exec line present" if "\\printer\\PrintAgent.exe" in s.log_text() else "no exec line"))
    s.check(not os.path.exists(os.path.join(outside, "marker.started")), "marker.exe was started")
    s.check(s.starts("Orrery") == 0, "Orrery.exe was started")


def scenario_contain_install_path(s):
    """The viewer's install_path as a network path, a relative path that
    climbs out, a drive-relative path and a device path: each time nothing
    is fetched or installed, the error box shows with the log naming the
    path, and nothing starts."""
    paths = ("\\\\127.0.0.1\\share\\viewer", "..\\outside\\viewer", "C:viewer", "\\\\?\\C:\\viewer")
    for path in paths:
        if path != paths[0]:
            s.server.stop()
        s.prepare(release="1.0")
        s.set_module_field("viewer", "install_path", path)
        run = s.run_updater()
        s.check(not run.timed_out, "%s: the updater did not end" % path)
        s.check(len(run.error_texts) == 1, "%s: %d error boxes" % (path, len(run.error_texts)))
        s.check_installed(s.untouched("1.0"))
        paths = [p for p, _ in s.server.requests()]
        s.check(paths == ["/update.xml"], "%s: requested %s" % (path, paths))
        s.check_log("Install path refused (a drive path such as D:\\Suite or a folder below the updater's is "
                    "expected) -> " + path)
        s.check(not os.path.exists(os.path.join(s.work, "outside")), "%s: a folder outside was made" % path)
        s.check_nothing_started()


def scenario_contain_list_name(s):
    """The print module's update list is named like a file installed in its
    folder (report_layout.xml): the update goes through and that file is
    still there, byte for byte."""
    s.prepare(release="1.0")
    os.replace(s.served("update/printer/UpdateList.xml"), s.served("update/printer/report_layout.xml"))
    s.set_module_field("printer", "update_list", "/update/printer/report_layout.xml")
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    s.check(s.starts("PrintAgent") == 1, "the print agent was not started")


def scenario_contain_updater_entry(s):
    """A module in the updater's own folder lists a plain Updater.exe: the
    running updater's file stays, the new copy lands in Temp."""
    s.prepare(release="1.0")
    served = release_file(s, "1.0", "printer/PrintAgent.exe")
    s.publish_module("tools", tools_release(s, {"Updater.exe": served}), "")
    run = s.run_updater()
    s.check_clean_run(run)
    expected = s.expected_files("1.1")
    expected["Updater.exe"] = s.updater_source
    expected["Temp/Updater.exe"] = served
    s.check_installed(expected)
    s.check_log("DownloadFile : Updater.exe")


def scenario_contain_forged_line(s):
    """A list entry whose name holds CR LF followed by a forged log line:
    the entry is skipped and logged as one line, its CR LF escaped; no line
    of the log is the forged one."""
    s.prepare(release="1.0")
    forged = "[forged] exec Orrery.exe : -> C:\\forged.exe"
    entry = ('\t<module filename="evil.dll&#13;&#10;%s" version="" datetime="202406031030"/>\r\n'
             % xml_escape(forged).replace('"', "&quot;"))
    s.rewrite("update/printer/UpdateList.xml", lambda b: b.replace(b"</update>", entry.encode("cp1252") + b"</update>"))
    s.repin("printer")
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    lines = s.log_lines()
    s.check(not any(line.startswith("[forged]") or line.startswith(forged) for line in lines),
            "a forged line in the log")
    holding = [line for line in lines if "forged.exe" in line]
    s.check(len(holding) == 1, "%d log lines name forged.exe" % len(holding))
    s.check(any("evil.dll\\r\\n" + forged in line for line in holding), "the name is not logged escaped: %s" % holding)


def scenario_bound_endless_undeclared(s):
    """An unkeyed run; printlib.dll's entry declares no size and its body has
    no end: the transfer stops at the length the size query announced, with
    its log line and the error box, and the installed copy stays."""
    s.prepare(release="1.0")
    s.rewrite("update/printer/UpdateList.xml",
              lambda b: re.sub(rb'(filename="printlib\.dll"[^>]*?) size="\d+" sha256="[0-9a-fA-F]+"', rb"\1", b))
    s.repin("printer")
    s.use_hostile_server({"/update/printer/printlib.dll": "endless"})
    run = s.run_updater(timeout=90)
    s.check_installed(printer_failed(s, run))
    size = os.path.getsize(release_file(s, "1.1", "printer/printlib.dll"))
    s.check(re.search(r"DownloadFile : printlib\.dll is larger than the %d bytes such a document may have" % size,
                      s.log_text()), "no line for printlib.dll running past its announced length")


def scenario_tampered_validator(s):
    """A server sends printlib.dll with an entity tag holding a CR and only
    half its bytes; an honest server afterwards: the next run completes the
    update (what the first left staged is continued only if usable, else
    discarded with a log line)."""
    s.prepare(release="1.0")
    s.use_hostile_server({"/update/printer/printlib.dll": "tampered"})
    first = s.run_updater(timeout=90)
    s.check(len(first.error_texts) == 1, "the cut-off run showed %d error boxes" % len(first.error_texts))
    s.use_hostile_server({})
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    s.check("HttpOpenRequest, Error:87" not in s.log_text(), "a resume request with the tampered tag was built")


def scenario_contain_links(s):
    """Links inside an install folder lead elsewhere: a journal line through
    one and a link in place of the staging folder's files. The journal line
    is ignored; the staging link is removed as a link and the update goes
    through, or, where the system cannot remove it (Wine), the module fails
    with its log line. Nothing outside the install folder is touched."""
    s.prepare(release="1.0")
    viewer = os.path.join(s.install, "viewer")
    outside = os.path.join(s.work, "outside")
    os.makedirs(os.path.join(outside, "files"), exist_ok=True)
    with open(os.path.join(outside, "precious.txt"), "w") as f:
        f.write("precious")
    with open(os.path.join(outside, "files", "keep.dll"), "w") as f:
        f.write("keep")
    os.symlink(outside, os.path.join(viewer, "lnk"))
    staging = os.path.join(viewer, "~vireo-staging")
    os.makedirs(staging, exist_ok=True)
    os.symlink(os.path.join(outside, "files"), os.path.join(staging, "files"))
    with open(os.path.join(staging, "journal"), "wb") as f:
        f.write(b"vireo-swap 1\nT\t0\tlnk\\precious.txt\t\n")
    run = s.run_updater()
    os.unlink(os.path.join(viewer, "lnk"))
    s.check(open(os.path.join(outside, "precious.txt")).read() == "precious", "precious.txt was touched")
    s.check(sorted(os.listdir(os.path.join(outside, "files"))) == ["keep.dll"], "the linked folder was written to")
    s.check(open(os.path.join(outside, "files", "keep.dll")).read() == "keep", "keep.dll was touched")
    s.check_log("Interrupted installation : a line that runs through a link ignored -> ")
    if "Staging : link removed, not followed -> " in s.log_text():
        s.check_clean_run(run)
        s.check_installed(s.expected_files("1.1"))
    else:
        # Wine removes no link to a folder: the viewer then waits, and says why.
        s.check_log("Staging : a link in the staging folder could not be removed, the module is not updated -> ")
        s.check(len(run.error_texts) == 1, "%d error boxes" % len(run.error_texts))
        s.check(s.starts("Orrery") == 0, "the viewer was started")


def delta_tree(s, **prepare):
    """Release 1.0 installed; the tree holds release 1.0 and then 1.1 over
    it, so that 1.1's changed files carry patches from 1.0. Returns the
    served paths of the patches."""
    s.prepare(release="1.0", **prepare)
    s.publish("1.0", s.server.html)
    s.publish("1.1", s.server.html, keep_tree=True)
    patches = []
    for root, _, files in os.walk(s.server.html):
        patches += [os.path.relpath(os.path.join(root, n), s.server.html) for n in files if n.endswith(".zst")]
    s.check(patches, "the tree holds no patches")
    return sorted(patches)


def scenario_delta_update(s):
    """Release 1.0 installed, 1.1 published over it with patches: the changed
    files come as patches (and only their patches are fetched), installed
    byte for byte, and the module keeps a record of their digests; a second
    run finds nothing to fetch."""
    patches = delta_tree(s)
    # The viewer's 1.1 has code ahead of the rest that 1.0 lacks, and is not
    # stripped: its patch maps the symbol table's values as well.
    viewer = [p for p in patches if "Orrery.exe" in p]
    s.check(viewer and all(open(os.path.join(s.server.html, p), "rb").read(4) == b"VXA2" for p in viewer),
            "the viewer's patch carries no address map of its code and symbols")
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    s.check_log("came as a patch")
    s.check(re.search(r"Patches : \d+ of \d+ files came as patches, \d+ bytes saved", s.log_text()),
            "no line for the bytes the patches saved")
    s.check("not patched" not in s.log_text(), "a patch of the release was not used")
    paths = [p for p, _ in s.server.requests()]
    for patch in patches:
        s.check(any(p.endswith(patch.replace(os.sep, "/")) for p in paths), "never fetched " + patch)
    # The record of what it installed, for the next patches' bases.
    with open(os.path.join(s.install, "viewer", "imaging.dll"), "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    try:
        with open(os.path.join(s.install, "viewer", "~vireo-digests"), encoding="utf-8", errors="replace") as f:
            record = f.read()
    except FileNotFoundError:
        record = ""
    s.check(re.search(r"(?mi)^%s\t\d+\t\d+\timaging\.dll$" % digest, record),
            "the record of installed files does not name imaging.dll")
    second = s.run_updater()
    s.check_clean_run(second)
    s.check("came as a patch" not in s.log_text() and "Staging :" not in s.log_text(), "the second run fetched")


def scenario_delta_fallback(s):
    """The same tree with every patch corrupted and one installed base
    changed locally, with a record of installed files that still gives it
    its old digest: each file falls back to its whole copy, with a log line,
    and 1.1 is installed byte for byte."""
    patches = delta_tree(s)
    for patch in patches:
        with open(os.path.join(s.server.html, patch), "r+b") as f:
            f.seek(0, os.SEEK_END)
            f.seek(max(0, f.tell() // 2))
            f.write(b"\x00corrupt\x00")
    base = os.path.join(s.install, "viewer", "imaging.dll")
    with open(base, "rb") as f:
        original = hashlib.sha256(f.read()).hexdigest()
    with open(base, "ab") as f:
        f.write(b"local change")
    # A record that gives the changed copy its 1.0 digest: the patch it picks
    # fails, and the whole file comes all the same.
    st = os.stat(base)
    with open(os.path.join(s.install, "viewer", "~vireo-digests"), "w", encoding="utf-8") as f:
        f.write("vireo-digests 1\n%s\t%d\t%d\timaging.dll\n"
                % (original, st.st_size, st.st_mtime_ns // 100 + 116444736000000000))
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    s.check("came as a patch" not in s.log_text(), "a corrupted patch was used")
    s.check_log("not patched, ")
    s.check(re.search(r"imaging\.dll not patched, its patch", s.log_text()),
            "the record's digest was not taken for imaging.dll")


def scenario_delta_forged_keyed(s):
    """A keyed updater and a signed tree with patches. The server swaps
    imaging.dll's patch for one that applies cleanly to the installed copy
    but makes another file, and holds a patch that no list names: the forged
    patch is refused by the size and hash the signed list gives it, before
    it is applied, and the whole file comes instead; the unnamed one is never asked for; 1.1 is installed
    byte for byte."""
    patches = delta_tree(s, keyed=True, sign_key=test_key(s))
    forged = [p for p in patches if os.sep + "imaging.dll" + os.sep in p]
    s.check(len(forged) == 1, "no patch for imaging.dll")
    base = os.path.join(s.install, "viewer", "imaging.dll")
    evil = os.path.join(s.work, "evil.dll")
    with open(s.expected_files("1.1")["viewer/imaging.dll"], "rb") as f:
        data = bytearray(f.read())
    data[len(data) // 2] ^= 0xFF
    with open(evil, "wb") as f:
        f.write(bytes(data))
    for target in (forged[0], os.path.join("update", "viewer", "~vireo-patches", "render.dll", "unnamed.zst")):
        os.makedirs(os.path.dirname(os.path.join(s.server.html, target)), exist_ok=True)
        subprocess.run(["zstd", "-q", "-f", "--patch-from=" + base, evil, "-o", os.path.join(s.server.html, target)],
                       check=True)
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    s.check_log("not patched, ")
    paths = [p for p, _ in s.server.requests()]
    s.check(not any("unnamed" in p for p in paths), "a patch that no list names was asked for")


def scenario_delta_resumed(s):
    """A 40 MiB file of which the first 16 MiB changed comes as a patch; the
    run is killed with about half the patch staged, and the next run asks
    for the rest of the patch only and installs the file byte for byte."""
    s.prepare(release="1.1", rate="4m")
    folder = os.path.join(s.server.html, "update", "viewer")
    base = os.path.join(s.install, "viewer", "big.bin")
    new = os.path.join(s.work, "big.bin")
    with open(base, "wb") as f:
        f.write(os.urandom(40 * MiB))
    with open(base, "rb") as f, open(new, "wb") as g:
        g.write(os.urandom(16 * MiB) + f.read()[16 * MiB:])
    name = "~vireo-patches\\big.bin\\from-base.zst"
    patch = os.path.join(folder, *name.split("\\"))
    os.makedirs(os.path.dirname(patch))
    subprocess.run(["zstd", "-q", "-f", "--patch-from=" + base, new, "-o", patch], check=True)
    shutil.copy(new, os.path.join(folder, "big.bin"))

    def digest(path):
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    patch_size = os.path.getsize(patch)
    entry = ('\t<module filename="big.bin" version="" datetime="202406031030" size="%d" sha256="%s">\r\n'
             '\t\t<patch base="%s" size="%d" sha256="%s" filename="%s"/>\r\n\t</module>\r\n'
             % (os.path.getsize(new), digest(new), digest(base), patch_size, digest(patch), name)).encode("ascii")
    listing = os.path.join(folder, "UpdateList.xml")
    with open(listing, "rb") as f:
        text = f.read()
    with open(listing, "wb") as f:
        f.write(text.replace(b"</update>", entry + b"</update>", 1))
    s.repin("viewer")

    staged = os.path.join(s.install, staged_part(name.replace("\\", "/"))[0])
    state = {"killed": False}

    def action(run, windows, process):
        if not state["killed"] and os.path.exists(staged) and os.path.getsize(staged) >= patch_size * 0.45:
            os.kill(process.pid, signal.SIGKILL)
            state["killed"] = True
    s.run_updater(action)
    s.check(state["killed"], "the patch was never half staged")
    restart_server_keeping_tree(s)
    run = s.run_updater()
    s.check_clean_run(run)
    s.check_log("DownloadFile : resuming " + name + " at byte ")
    s.check_log("came as a patch")
    s.check(filecmp_equal(base, new), "big.bin is not the new file")
    sent = [(status, body) for method, path, status, body in s.server.transfers() if "big.bin" in path]
    s.check([status for status, _ in sent] == [206], "big.bin requests of the second run: %s" % sent)
    s.check(sum(body for _, body in sent) <= patch_size * 0.6, "more than the patch's rest was served: %s" % sent)


SCENARIOS = {
    "fresh_install": scenario_fresh_install,
    "second_run": scenario_second_run,
    "update": scenario_update,
    "not_found": scenario_not_found,
    "auth": scenario_auth,
    "cancel": scenario_cancel,
    "server_stopped": scenario_server_stopped,
    "read_only": scenario_read_only,
    "killed": scenario_killed,
    "missing_file": scenario_missing_file,
    "swap_locked": scenario_swap_locked,
    "resume_large": scenario_resume_large,
    "trust_signed_update": scenario_trust_signed_update,
    "trust_file_changed": scenario_trust_file_changed,
    "trust_list_changed": scenario_trust_list_changed,
    "trust_manifest_unsigned": scenario_trust_manifest_unsigned,
    "trust_other_key": scenario_trust_other_key,
    "trust_unkeyed_hash": scenario_trust_unkeyed_hash,
    "trust_old_tree": scenario_trust_old_tree,
    "trust_rollback": scenario_trust_rollback,
    "trust_expired": scenario_trust_expired,
    "trust_second_key": scenario_trust_second_key,
    "trust_state_deleted": scenario_trust_state_deleted,
    "trust_old_tree_keyed": scenario_trust_old_tree_keyed,
    "trust_proxy_expired": scenario_trust_proxy_expired,
    "trust_list_swapped": scenario_trust_list_swapped,
    "trust_list_old": scenario_trust_list_old,
    "bound_endless_manifest": scenario_bound_endless_manifest,
    "bound_endless_file": scenario_bound_endless_file,
    "bound_declared_manifest": scenario_bound_declared_manifest,
    "bound_declared_file": scenario_bound_declared_file,
    "bound_endless_list": scenario_bound_endless_list,
    "bound_slow_manifest": scenario_bound_slow_manifest,
    "bound_slow_denied": scenario_bound_slow_denied,
    "bound_slow_file": scenario_bound_slow_file,
    "bound_slow_cancel": scenario_bound_slow_cancel,
    "bound_slow_block": scenario_bound_slow_block,
    "contain_same_name": scenario_contain_same_name,
    "contain_not_found": scenario_contain_not_found,
    "contain_process_image": scenario_contain_process_image,
    "contain_install_path": scenario_contain_install_path,
    "contain_list_name": scenario_contain_list_name,
    "contain_updater_entry": scenario_contain_updater_entry,
    "contain_forged_line": scenario_contain_forged_line,
    "contain_links": scenario_contain_links,
    "bound_endless_undeclared": scenario_bound_endless_undeclared,
    "tampered_validator": scenario_tampered_validator,
    "delta_update": scenario_delta_update,
    "delta_fallback": scenario_delta_fallback,
    "delta_forged_keyed": scenario_delta_forged_keyed,
    "delta_resumed": scenario_delta_resumed,
}


# ---------------------------------------------------------------------- demo

def describe(env, folder):
    """module/path -> (version, stamp) of the installed suite's files."""
    out = {}
    for root, _, files in os.walk(folder):
        for n in sorted(files):
            path = os.path.join(root, n)
            rel = os.path.relpath(path, folder).replace(os.sep, "/")
            if rel in ("Updater.exe", "updater_log.txt") or n.endswith(".started"):
                continue
            info = subprocess.run([env.tool, "file-info", path], stdout=subprocess.PIPE, text=True).stdout
            version = re.search(r"^version: *(.*)$", info, re.M)
            stamp = re.search(r"^stamp: *(.*)$", info, re.M)
            out[rel] = ((version.group(1) if version else "") or "-", stamp.group(1) if stamp else "?")
    return out


def run_demo(env, demo_dir, shot, sign_key=None, public_key=None):
    """Installs release 1.0 into demo_dir, publishes 1.1 on a loopback nginx
    (slowed down so that the dialog can be watched), runs the updater and
    reports what it did. 0 when the update succeeded."""
    s = Scenario(env, "demo")
    s.work = os.path.abspath(demo_dir)
    s.install = os.path.join(s.work, "suite")
    s.server = Server(os.path.join(s.work, "server"), env.certificates)
    s.sign_key = sign_key
    print("demo: installing release 1.0 into %s" % s.install)
    s.prepare(release="1.0", rate="384k")
    if public_key:
        checked = subprocess.run([env.tool, "check", s.server.html, "--public-key", public_key],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        print("demo: release 1.1 signed; vireo-tool check --public-key: %s" % checked.stdout.strip().splitlines()[-1])
        s.check(checked.returncode == 0, "the signed tree does not check clean:\n" + checked.stdout)
    before = describe(env, s.install)
    print("demo: release 1.1 published on http://%s (nginx pid %s)" % (
        s.address, open(os.path.join(s.server.folder, "pid")).read().strip()))
    print("demo: running Updater.exe %s on display %s" % (s.address, env.display))
    state = {"shot": False}
    # The several-item archive takes some seconds at this rate: the shot
    # shows its transfer well under way, the first file already counted.
    shot_during = "codec_core.dll.zip " + IDC_FILE_LABEL_TEXT

    def action(run, windows, process):
        if state["shot"] or not shot:
            return
        for w in windows:
            if Scenario.is_update_dialog(w) and w[2] and any(shot_during in t for _, _, t in w[5]):
                time.sleep(1.5)
                left, top, right, bottom = w[6]
                command = ["import", "-display", env.display, "-window", "root"]
                if right > left and bottom > top:
                    command += ["-crop", "%dx%d+%d+%d" % (right - left, bottom - top, max(left, 0), max(top, 0))]
                os.makedirs(os.path.dirname(os.path.abspath(shot)), exist_ok=True)
                if subprocess.run(command + [shot], stderr=subprocess.DEVNULL).returncode == 0:
                    print("demo: screenshot of the dialog in mid-update: %s" % shot)
                state["shot"] = True
    start = time.monotonic()
    run = s.run_updater(action)
    print("demo: the updater ended after %.1f s" % (time.monotonic() - start))
    after = describe(env, s.install)

    print("\nfiles (version, Korea time stamp) before -> after:")
    for rel in sorted(set(before) | set(after)):
        b = before.get(rel, ("absent", ""))
        a = after.get(rel, ("absent", ""))
        mark = "  updated" if a != b else ""
        print("  %-34s %-9s %-12s -> %-9s %-12s%s" % (rel, b[0], b[1], a[0], a[1], mark))
    print("\nupdater_log.txt:")
    for line in s.log_text().splitlines():
        print("  " + line)
    note = os.path.join(s.install, "viewer", "Orrery.started")
    if os.path.exists(note):
        print("\nthe viewer was started:")
        with open(note, encoding="utf-8", errors="replace") as f:
            for line in f.read().splitlines():
                print("  " + line)
    else:
        print("\nthe viewer was NOT started")
    for _, text in run.error_texts:
        print("error box: " + text)
    s.check_clean_run(run)
    s.check_installed(s.expected_files("1.1"))
    s.check(os.path.exists(note), "the viewer was not started")
    problems = s.finish()
    if problems:
        print("\ndemo: the update did not succeed:")
        for p in problems:
            print("  " + p)
        return 1
    print("\ndemo: the update succeeded; the updated suite is in %s" % s.install)
    return 0


def run_scenario(env, name):
    s = Scenario(env, name)
    try:
        SCENARIOS[name](s)
    finally:
        problems = s.finish()
    if problems:
        print("%s: FAILED" % name)
        for p in problems:
            print("  " + p)
        for i, run in enumerate(s.runs):
            print("  run %d: exit code %s after %s s, update window %s"
                  % (i + 1, run.exit_code, "%.1f" % run.seconds if run.seconds is not None else "?",
                     "seen" if run.dialog_seen else "not seen"))
        log = s.log_text()
        if log:
            print("--- updater_log.txt")
            print(log.rstrip())
        try:
            with open(s.output_path, "rb") as f:
                output = f.read().decode("utf-8", "replace").rstrip().splitlines()
        except FileNotFoundError:
            output = []
        if output:
            print("--- what the updater's runs printed (last 40 lines)")
            print("\n".join(output[-40:]))
        return 1
    print("%s: passed" % name)
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the windows build folder")
    sub = parser.add_subparsers(dest="command", required=True)
    one = sub.add_parser("scenario")
    one.add_argument("name", choices=sorted(SCENARIOS))
    sub.add_parser("list")
    demo = sub.add_parser("demo")
    demo.add_argument("--demo-dir", required=True)
    demo.add_argument("--shot", default="")
    demo.add_argument("--sign-key", default=None, help="publish signed with this private key")
    demo.add_argument("--public-key", default=None, help="check the signed tree with this public key")
    args = parser.parse_args()
    if args.command == "list":
        print("\n".join(SCENARIOS))
        return 0
    env = Env(args.build)
    what = args.name if args.command == "scenario" else "demo"
    try:
        env.ensure_display()
        if args.command == "demo":
            return run_demo(env, args.demo_dir, args.shot, args.sign_key, args.public_key)
        return run_scenario(env, args.name)
    except Failure as e:
        print("%s: FAILED\n  %s" % (what, e))
        return 1
    finally:
        env.close()


if __name__ == "__main__":
    sys.exit(main())
