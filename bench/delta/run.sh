#!/bin/bash
# Delta patch benchmark, publisher side (run by hand; not part of scripts/test).
#
#   bench/delta/run.sh [--size-mb N] [--files N] [--deltas N] [--tool VIREO_TOOL]
#                      [--release-a DIR --release-b DIR] [--work DIR]
#
# Needs the native preset's vireo-tool. By default it generates a suite of
# about --size-mb MiB (default 300) of binary-like files in --files files
# (default 60) plus small text files, and a next release in which every
# binary changed slightly (a few patched bytes, a short insertion that shifts
# the rest, as a rebuild does); with --release-a/--release-b it takes two
# release folders of your own instead (two builds of the Windows programs
# with the sample suite's files, say). It publishes release A and then B
# into one tree with `vireo-tool publish` and reports, for the files B
# changes: the bytes an updater moving from A to B is served whole against
# through patches, the patch sizes, the seconds publish and check take
# (check applies every patch), and the tree's extra space for patches and
# kept bases. The updater's own fetch-and-apply is not measured here yet.
set -eu
exec python3 "$(dirname "$0")/delta_bench.py" "$@"
