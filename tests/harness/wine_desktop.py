"""Wine's desktop process, held for the scripts that run Windows programs
one after another (the benchmarks). Wine starts it with a program's first
window and ends it a moment after the prefix's last program has ended: a
program starting just then cannot open its windows (error 1400), and every
other one pays for starting it, where on Windows it is always there."""
import os
import subprocess


def keep(wine_run, windows_build, env):
    """Starts desktop_keeper.exe (a hidden window) in the prefix of `env`;
    returns its process, for release()."""
    keeper = os.path.join(windows_build, "tests", "harness", "desktop_keeper.exe")
    return subprocess.Popen([wine_run, keeper], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def release(process):
    if process is not None and process.poll() is None:
        process.terminate()
        process.wait()
