"""An Xvfb display of one's own for the scripts that drive Windows programs
under Wine (the e2e scenarios, the benchmarks)."""
import os
import select
import subprocess
import time


def start(timeout=10):
    """Starts Xvfb on a display it picks itself (its lock file decides
    between servers starting side by side) and waits until it listens.
    Returns (process, ":N"), or None when none could be had."""
    read_end, write_end = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                             "-nolisten", "tcp"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, pass_fds=(write_end,))
    os.close(write_end)
    number = b""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and not number.endswith(b"\n"):
        ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            break
        piece = os.read(read_end, 16)
        if not piece:
            break
        number += piece
    os.close(read_end)
    if proc.poll() is None and number.strip().isdigit():
        return proc, ":%d" % int(number)
    proc.kill()
    proc.wait()
    return None
