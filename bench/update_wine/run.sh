#!/bin/bash
# Whole-update benchmark under Wine (run by hand; not part of scripts/test).
#
#   bench/update_wine/run.sh [--runs N] [--cases a|b|ab] [--windows-build DIR] [--tool VIREO_TOOL]
#
# Needs the windows preset (Updater.exe, tests/harness/wininet_loop.exe) and
# the native preset (vireo-tool) built in this checkout, plus curl, unzip,
# Xvfb and nginx. It generates the suites once under
# build/windows/bench-update/ (about 1.5 GB with the copies made while
# running), starts its own nginx servers and Xvfb display, and uses a Wine
# prefix of its own set to unmanaged windows.
#
#   case A  whole first update of about 300 MB (one 200 MB file, 20 archives
#           of 5 MB incompressible data, 300 text files): Updater.exe against
#           one curl command over one keep-alive connection + unzip -o -qq;
#           also the platform's floor for the same work: the bare WinINet
#           loop + the same unzip, with the updater's request flags and with
#           WinINet's cookie handling off
#   case B  first install of 2,000 small files: Updater.exe against a bare
#           WinINet loop (one connection, one GET per file) and curl
#
# Repetitions interleave the contenders; the report gives median and best of
# N (default 3), MiB/s, the ratios, nginx's body bytes served against the
# bytes of files + manifest + lists, connections, requests by method, and
# where the updater's time went (before, inside and between requests).
#
# The script takes /work/wine.lock itself around the timed part (generating
# the suites runs without it); run under `flock /work/wine.lock` it sees the
# inherited lock and does not take it again. --lock '' takes no lock.
set -eu
exec python3 "$(dirname "$0")/update_bench.py" "$@"
