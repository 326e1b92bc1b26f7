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
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "harness"))
import nginx_fixture  # noqa: E402  (the harness's nginx starter)

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
        self.drive = os.path.join(self.e2e, "e2e_drive.exe")
        self.releases = os.path.join(self.e2e, "releases")
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
        env["DISPLAY"] = self.display
        env["TZ"] = "Asia/Seoul"
        return env

    def ensure_display(self):
        if self.display:
            return
        for n in range(120, 240):
            if os.path.exists("/tmp/.X%d-lock" % n) or os.path.exists("/tmp/.X11-unix/X%d" % n):
                continue
            proc = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            for _ in range(50):
                if os.path.exists("/tmp/.X11-unix/X%d" % n):
                    break
                time.sleep(0.1)
            if proc.poll() is None:
                self.xvfb = proc
                self.display = ":%d" % n
                return
        raise Failure("no free X display for Xvfb")

    def close(self):
        if self.xvfb is not None:
            # A wineserver left lingering on this display would outlive it.
            subprocess.run(["/usr/lib/wine/wineserver64", "-k"], env=self.wine_env(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.xvfb.terminate()
            self.xvfb.wait()
            self.xvfb = None

    def wine(self, *args, timeout=60):
        return subprocess.run([self.wine_run] + list(args), env=self.wine_env(), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout)


# -------------------------------------------------------------------- server

class Server:
    """nginx from the harness, with a bandwidth limit when asked for."""

    def __init__(self, folder, rate=None):
        self.folder = folder
        self.rate = rate
        self.port = None

    def start(self):
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


class DialogWatcher:
    """Sets run.dialog_seen once e2e_drive watch, looking from inside Wine
    every 10 ms, sees an update dialog shown: the driver's own look at the
    windows (a Wine process each time, every 0.2 s) can miss the dialog of a
    fast run. Watching from before the updater starts."""

    def __init__(self, env, run):
        self.run = run
        self.process = subprocess.Popen([env.wine_run, env.drive, "watch"], env=env.wine_env(),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        self.ready = threading.Event()
        self.listening = False
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()
        if not self.ready.wait(60) or not self.listening:
            self.stop()
            raise Failure("e2e_drive watch did not start listening")

    def read(self):
        for line in self.process.stdout:
            if line.strip() == "ready":
                self.listening = True
                self.ready.set()
            elif line.startswith("shown"):
                self.run.dialog_seen = True
        self.ready.set()  # ended: nobody waits in vain

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.reader.join(10)


class Scenario:
    def __init__(self, env, name):
        self.env = env
        self.name = name
        self.work = os.path.join(env.e2e, "work", name)
        self.install = os.path.join(self.work, "install")
        self.server = Server(os.path.join(self.work, "server"))
        self.problems = []
        self.sign_key = None  # publish signed with this private key

    # -- set-up
    def prepare(self, release=None, rate=None, auth=False):
        if os.path.isdir(self.work):
            for root, dirs, files in os.walk(self.work):
                for n in dirs + files:
                    try:
                        os.chmod(os.path.join(root, n), 0o755)
                    except OSError:
                        pass
            shutil.rmtree(self.work)
        os.makedirs(self.install)
        shutil.copy2(self.env.updater, os.path.join(self.install, "Updater.exe"))
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

    def publish(self, release, tree):
        result = subprocess.run([sys.executable, os.path.join(HERE, "make_server_tree.py"),
                                 "--tool", self.env.tool, "--release", os.path.join(self.env.releases, release),
                                 "--out", tree, "--install-root", wine_path(self.install)] +
                                (["--sign-key", self.sign_key] if self.sign_key else []),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            raise Failure("server tree not published:\n" + result.stdout)

    # -- the run
    def windows(self):
        """The updater's top-level windows:
        [hwnd, exe, visible, class, title, [(id, class, text)], (left, top, right, bottom)]."""
        try:
            out = self.env.wine(self.env.drive, "windows", timeout=20).stdout.decode("utf-8", "replace")
        except subprocess.TimeoutExpired:
            return []
        tops = []
        for line in out.splitlines():
            parts = line.split("\t")
            if parts[0] == "W" and len(parts) >= 11:
                rect = tuple(int(v) for v in parts[5:9])
                tops.append([parts[1], parts[3], parts[4] == "1", parts[9], parts[10], [], rect])
            elif parts[0] == "C" and len(parts) >= 6 and tops and parts[4] == "1":
                tops[-1][5].append((int(parts[2]), parts[3], parts[5]))
        return [t for t in tops if t[1].lower() == "updater.exe"]

    @staticmethod
    def is_update_dialog(window):
        return any(cls.lower() == "msctls_progress32" for _, cls, _ in window[5])

    def run_updater(self, action=None, answer_credentials=False, timeout=RUN_TIMEOUT):
        """Starts Updater.exe ADDRESS in the installation, watches its windows
        (answers error boxes with OK, credentials dialogs with the harness's
        user) and waits for it to end. `action(run, windows, process)` is
        called on every look at the windows."""
        run = Run()
        watcher = DialogWatcher(self.env, run)
        process = subprocess.Popen([self.env.wine_run, os.path.join(self.install, "Updater.exe"), self.address],
                                   cwd=self.install, env=self.env.wine_env(), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.process = process
        deadline = time.monotonic() + timeout
        while process.poll() is None:
            if time.monotonic() > deadline:
                run.timed_out = True
                process.kill()
                break
            wins = self.windows()
            for w in wins:
                hwnd, _, visible, cls, title, controls, _ = w
                if not visible:
                    continue
                if self.is_update_dialog(w):
                    run.dialog_seen = True
                elif title == "Error":
                    texts = [t for _, c, t in controls if t and t not in ("OK", "Cancel")]
                    if not any(hwnd == h for h, _ in run.error_texts):
                        run.error_texts.append((hwnd, " ".join(texts)))
                    self.env.wine(self.env.drive, "click", hwnd, str(IDOK))
                elif answer_credentials and sum(1 for _, c, _ in controls if c.lower() == "edit") >= 2:
                    self.env.wine(self.env.drive, "credentials", hwnd, nginx_fixture.AUTH_USER,
                                  nginx_fixture.AUTH_PASSWORD)
                    run.credentials += 1
            if action is not None and process.poll() is None:
                action(run, wins, process)
            time.sleep(0.2)
        process.wait()
        watcher.stop()
        run.exit_code = process.returncode
        return run

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
        known = set(expected) | {"Updater.exe", "updater_log.txt", "viewer/Orrery.started",
                                 "printer/PrintAgent.started"} | set(allowed_extra)
        for rel in sorted(found - known):
            self.problems.append("left behind: " + rel)

    def starts(self, program):
        note = {"Orrery": "viewer/Orrery.started", "PrintAgent": "printer/PrintAgent.started"}[program]
        try:
            with open(os.path.join(self.install, note), encoding="utf-8", errors="replace") as f:
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
        self.server.stop()
        return self.problems


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
    """The whole tree needs basic authentication; the credentials typed into
    the dialog carry the update through."""
    s.prepare(release="1.0", auth=True)
    run = s.run_updater(answer_credentials=True)
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
                s.env.wine(s.env.drive, "click", hwnd, str(IDCANCEL))
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
    s.server = Server(os.path.join(s.work, "server"))
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
        log = s.log_text()
        if log:
            print("--- updater_log.txt")
            print(log.rstrip())
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
