#!/bin/bash
# Download benchmark under Wine: DownloadFile (dialog reporting live) against
# a bare 1,024-byte InternetReadFile loop and against curl, on one file served
# by nginx on loopback, written to the same disk.
#   bench/download_wine/run.sh WINDOWS_BUILD_DIR [SIZE_MB] [RUNS]
set -eu
build=$(cd "$1" && pwd)
size_mb=${2:-512}
runs=${3:-2}
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
work=$build/bench-download
exe=$build/tests/engine/engine_download_bench.exe
mkdir -p "$work/out"
export VIREO_WINEPREFIX=${VIREO_WINEPREFIX:-$build/wineprefix}

python3 "$src/tests/harness/nginx_fixture.py" start "$work/nginx" >/dev/null
port=$(cat "$work/nginx/port")
xvfb_pid=""
cleanup() {
  python3 "$src/tests/harness/nginx_fixture.py" stop "$work/nginx" >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work/out"
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 90 120); do
    if [ ! -e /tmp/.X11-unix/X$n ] && [ ! -e /tmp/.X$n-lock ]; then break; fi
  done
  Xvfb :$n -screen 0 1280x1024x24 >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=:$n
  sleep 1
fi

mkdir -p "$work/nginx/html/bench"
head -c $((size_mb * 1048576)) /dev/urandom > "$work/nginx/html/bench/big.bin"
out_win="Z:$(echo "$work/out" | tr / '\\')"

best() { sort -t' ' -k4 -g | tail -1; }
: > "$work/engine.txt"; : > "$work/bare.txt"; : > "$work/curl.txt"
for i in $(seq "$runs"); do
  "$src/cmake/wine-run" "$exe" bare "$port" /bench/ big.bin "$out_win" | tr -d '\r' >> "$work/bare.txt"
  rm -f "$work/out/"*
  "$src/cmake/wine-run" "$exe" engine "$port" /bench/ big.bin "$out_win" | tr -d '\r' >> "$work/engine.txt"
  rm -f "$work/out/"*
  start=$(date +%s.%N)
  curl -s -o "$work/out/curl.bin" "http://127.0.0.1:$port/bench/big.bin"
  end=$(date +%s.%N)
  echo "curl $((size_mb * 1048576)) $(echo "$end - $start" | bc) $(echo "$size_mb / ($end - $start)" | bc -l)" >> "$work/curl.txt"
  rm -f "$work/out/"*
done
engine=$(best < "$work/engine.txt"); bare=$(best < "$work/bare.txt"); curl=$(best < "$work/curl.txt")
e=$(echo "$engine" | cut -d' ' -f4); b=$(echo "$bare" | cut -d' ' -f4); c=$(echo "$curl" | cut -d' ' -f4)
printf 'file %d MB, best of %d runs (MB/s):\n' "$size_mb" "$runs"
printf '  DownloadFile (dialog live) %8.1f\n  bare 1 KiB read loop       %8.1f\n  curl -o                    %8.1f\n' "$e" "$b" "$c"
printf '  DownloadFile / bare loop   %8.3f\n  DownloadFile / curl        %8.4f\n' "$(echo "$e / $b" | bc -l)" "$(echo "$e / $c" | bc -l)"
