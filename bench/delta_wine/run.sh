#!/bin/bash
# Delta update benchmark under Wine, the updater's side (run by hand; not part
# of scripts/test).
#
#   bench/delta_wine/run.sh [--runs N] [--cases release,suite] [--old-commit REV]
#                           [--strip] [--windows-build DIR] [--tool VIREO_TOOL]
#                           [--lock FILE] [--prepare-only] [--zstd-survey]
#
# Needs the windows preset (Updater.exe, vireo-tool.exe and the sample
# suite's releases: target e2e_releases) and the native preset (vireo-tool)
# built in this checkout, plus git, nginx, Xvfb, zip and x86_64-w64-mingw32-strip.
# Everything it makes lives under build/windows/bench-delta-wine/ (the cases
# are prepared once and kept, the release case per old commit and stripping;
# about 2 GB with the suite case; logs/ keeps the last run's updater log and
# nginx lines of each case and mode).
#
#   case release  a release-to-release update of real binaries: Updater.exe
#                 and vireo-tool.exe built for Windows at an older commit
#                 (--old-commit, default 2e621aa, 60 first-parent commits
#                 before 5a69953; built once with the windows preset from
#                 `git archive` of that commit) and in this checkout,
#                 with the sample suite's releases 1.0 and 1.1 beside them;
#                 every .exe and .dll published as a one-file archive. The
#                 two programs ship as the build makes them: stripped, their
#                 debug information kept beside them in .debug files (an
#                 older commit's build, made before that, is stripped the
#                 same way); --strip also strips the sample suite's binaries.
#   case suite    a 300 MB generated suite in which every binary changed
#                 slightly (bench/delta's generator), Orrery.exe as an archive.
#
# For each case release A is published and then B with `vireo-tool publish
# --deltas` (tree "patches"), and B alone without --deltas (tree "full");
# one nginx serves both. Each run copies release A into a fresh install
# folder (its files keep their time stamps) and runs today's Updater.exe
# against one tree, from a fresh folder of its own, in three modes:
#   patches   the plain copy of A: the updater hashes each patch's base
#   recorded  A as Updater.exe itself installed it from a list that names
#             patches (tree "seed": B, then A over it), with its record of
#             installed files' digests, as a workstation has A when every
#             release is published with --deltas; made once per case and
#             Updater.exe, then copied with its time stamps
#   full      the plain copy of A against the tree without patches
# The modes interleave, N repetitions (default 3) after one untimed warm-up
# of each.
# Every run must leave release B installed byte for byte.
#
# The table gives per case and mode the body bytes nginx served, the median
# and best seconds (process start to end), and where the median run's time
# went, from the updater's log (millisecond stamps) and nginx's access log:
#   start  process start to the "Staging :" line (Wine, manifest, list, the
#          version and time checks)
#   hash   before each patch's request: from the log line before it to the
#          request's first byte at nginx (the installed base is hashed there;
#          no log line marks it, so it is derived)
#   fetch  the rest of the staging stretch: requests and writing the files
#   apply  from the patch's "DownloadFile :" line to its "came as a patch"
#          line (decoding against the base, checking the result's SHA-256)
#   swap   "Swap : putting" to "Swap : done" (archives are unpacked inside
#          it: "unzip" gives that share), and per 100 files put in place;
#          the goal line splits it at the "Delete file :" lines into files
#          put in place, backups deleted and the staging folder removed
#   end    "Swap : done" to the process's end
# then the ratios against the goals: patch bytes at most 10 % of the full
# update's, the patched update no slower than the full one, the swap at most
# 0.1 s per 100 files.
#
# --zstd-survey prints, for the release case's changed binaries, the sizes
# of the tool's patches and of `zstd --patch-from` patches at other levels,
# windows and long-distance settings (the zstd command line as a black box).
#
# Wine runs hold /work/wine.lock (one stretch per case, released between
# cases); run under `flock /work/wine.lock` it sees the inherited lock and
# does not take it again. --lock '' takes no lock.
set -eu
exec python3 "$(dirname "$0")/delta_wine_bench.py" "$@"
