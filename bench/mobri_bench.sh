#!/usr/bin/env bash
# Throughput of mobri (x86-64 build under Wine) against GNU dd natively and against a bare
# Win32 ReadFile/WriteFile loop under Wine, on the same files, in one run:
#   (a) /dev/zero -> /dev/null, bs=1M, 4 GiB          target >= 1.0 x dd
#   (b) 512 MiB file -> new file, bs=1M, cache warm   target >= 0.95 x bare Wine loop
#   (c) /dev/random -> /dev/null, bs=1M, 1 GiB        target >= 2.0 x dd if=/dev/urandom
# Uses the build of scripts/build.sh (SNAPTREE_BUILD_DIR as there). Each figure is the best of
# BENCH_RUNS runs (default 3). Takes a few minutes; not part of the tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/wine-env.sh"
bin="$build_dir/x64/bin"
for program in mobri.exe rawcopy.exe; do
  [ -x "$bin/$program" ] || { echo "missing $bin/$program: run scripts/build.sh first" >&2; exit 1; }
done
runs=${BENCH_RUNS:-3}

wine_start || true  # a server left running from an earlier run is fine
work="$WINEPREFIX/drive_c/mobri_bench"
trap 'rm -rf "$work"; wine_stop' EXIT
mkdir -p "$work"
win_work='C:\mobri_bench'

# best_ns CLEANUP COMMAND...: the shortest wall time in nanoseconds of $runs runs, CLEANUP run before each.
best_ns() {
  local cleanup=$1; shift
  local best="" start end took
  for ((i = 0; i < runs; i++)); do
    eval "$cleanup"
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    took=$((end - start))
    if [ -z "$best" ] || [ "$took" -lt "$best" ]; then best=$took; fi
  done
  echo "$best"
}

# mbps BYTES NANOSECONDS
mbps() { awk -v b="$1" -v ns="$2" 'BEGIN { printf "%.0f", b / (ns / 1e9) / 1e6 }'; }
ratio() { awk -v x="$1" -v y="$2" 'BEGIN { printf "%.2f", x / y }'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN { print (r >= t ? "met" : "MISSED") }'; }

report() {  # NAME BYTES NS
  printf '  %-34s %8s MB/s\n' "$1" "$(mbps "$2" "$3")"
}

GiB=$((1 << 30))
MiB=$((1 << 20))

echo "mobri benchmark: best of $runs runs each, $(nproc) cores, $(wine --version 2>/dev/null)"

echo "(a) /dev/zero -> /dev/null, bs=1M, 4 GiB"
a_dd=$(best_ns : dd if=/dev/zero of=/dev/null bs=1M count=4096)
a_mobri=$(best_ns : wine "$bin/mobri.exe" if=/dev/zero of=/dev/null bs=1M count=4k)
report "GNU dd (native)" $((4 * GiB)) "$a_dd"
report "mobri (Wine)" $((4 * GiB)) "$a_mobri"
a_ratio=$(ratio "$a_dd" "$a_mobri")
echo "  mobri / dd = $a_ratio (target 1.0: $(verdict "$a_ratio" 1.0))"

echo "(b) 512 MiB file -> new file, bs=1M, page cache warm"
dd if=/dev/urandom of="$work/source" bs=1M count=512 status=none
cat "$work/source" >/dev/null
fresh='rm -f "$work/target"; sync'
b_dd=$(best_ns "$fresh" dd if="$work/source" of="$work/target" bs=1M)
b_loop=$(best_ns "$fresh" wine "$bin/rawcopy.exe" "$win_work\\source" "$win_work\\target" 1048576)
b_mobri=$(best_ns "$fresh" wine "$bin/mobri.exe" "if=$win_work\\source" "of=$win_work\\target" bs=1M)
cmp -s "$work/source" "$work/target" || { echo "  mobri's copy differs from its source" >&2; exit 1; }
report "GNU dd (native)" $((512 * MiB)) "$b_dd"
report "bare ReadFile/WriteFile (Wine)" $((512 * MiB)) "$b_loop"
report "mobri (Wine)" $((512 * MiB)) "$b_mobri"
b_ratio=$(ratio "$b_loop" "$b_mobri")
echo "  mobri / bare loop = $b_ratio (target 0.95: $(verdict "$b_ratio" 0.95))"
echo "  bare loop / dd = $(ratio "$b_dd" "$b_loop") (the cost of Wine itself)"
echo "  mobri / dd = $(ratio "$b_dd" "$b_mobri")"

echo "(c) /dev/random -> /dev/null, bs=1M, 1 GiB"
c_dd=$(best_ns : dd if=/dev/urandom of=/dev/null bs=1M count=1024)
c_mobri=$(best_ns : wine "$bin/mobri.exe" if=/dev/random of=/dev/null bs=1M count=1k)
report "GNU dd if=/dev/urandom (native)" "$GiB" "$c_dd"
report "mobri /dev/random (Wine)" "$GiB" "$c_mobri"
c_ratio=$(ratio "$c_dd" "$c_mobri")
echo "  mobri / dd = $c_ratio (target 2.0: $(verdict "$c_ratio" 2.0))"
