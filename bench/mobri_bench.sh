#!/usr/bin/env bash
# Throughput of mobri (x86-64 build under Wine) against GNU dd natively and against a bare
# Win32 ReadFile/WriteFile loop under Wine, on the same files, in one run:
#   (a) /dev/zero -> /dev/null, bs=1M                  target >= 1.0 x dd
#       mobri neither fills nor writes a block here, so it is given 2 Gi blocks: enough
#       that its start-up (a run with count=0) is under 5% of the time.
#   (b) 2 GiB file -> new file, bs=1M, cache warm     target >= 0.95 x bare Wine loop
#   (c) /dev/random -> /dev/null, bs=1M, 1 GiB        target >= 2.0 x dd if=/dev/urandom
#   (d) 128 MiB of that file -> new file, bs=512, with and without --progress:
#       the progress line costs under 5%. On a busy machine two copies differ by more than
#       that by chance, so the cost is also taken per block: the extra time per block of
#       /dev/zero -> /dev/null (no I/O to hide it) against the time per block of the copy.
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

# alternate CLEANUP COMMAND_A COMMAND_B: "best_a best_b" in nanoseconds; the two commands
# (texts run by eval) take turns, so a busy machine slows both alike.
alternate() {
  local cleanup=$1 a=$2 b=$3 best_a="" best_b="" took
  for ((r = 0; r < runs; r++)); do
    took=$(runs=1 best_ns "$cleanup" eval "$a")
    if [ -z "$best_a" ] || [ "$took" -lt "$best_a" ]; then best_a=$took; fi
    took=$(runs=1 best_ns "$cleanup" eval "$b")
    if [ -z "$best_b" ] || [ "$took" -lt "$best_b" ]; then best_b=$took; fi
  done
  echo "$best_a $best_b"
}

# mbps BYTES NANOSECONDS
mbps() { awk -v b="$1" -v ns="$2" 'BEGIN { printf "%.0f", b / (ns / 1e9) / 1e6 }'; }
ratio() { awk -v x="$1" -v y="$2" 'BEGIN { printf "%.2f", x / y }'; }
percent() { awk -v x="$1" -v y="$2" 'BEGIN { printf "%.1f", 100 * (x - y) / y }'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN { print (r >= t ? "met" : "MISSED") }'; }

report() {  # NAME BYTES NS
  printf '  %-34s %8s MB/s\n' "$1" "$(mbps "$2" "$3")"
}

GiB=$((1 << 30))
MiB=$((1 << 20))

echo "mobri benchmark: best of $runs runs each, $(nproc) cores, $(wine --version 2>/dev/null)"

echo "(a) /dev/zero -> /dev/null, bs=1M"
a_blocks=$((2 * GiB))
a_dd=$(best_ns : dd if=/dev/zero of=/dev/null bs=1M count=16384)
a_start=$(best_ns : wine "$bin/mobri.exe" if=/dev/zero of=/dev/null bs=1M count=0)
a_mobri=$(best_ns : wine "$bin/mobri.exe" if=/dev/zero of=/dev/null bs=1M count=2G)
report "GNU dd (native), 16 GiB" $((16 * GiB)) "$a_dd"
report "mobri (Wine), 2 PiB" $((a_blocks * MiB)) "$a_mobri"
a_ratio=$(ratio "$(mbps $((a_blocks * MiB)) "$a_mobri")" "$(mbps $((16 * GiB)) "$a_dd")")
echo "  mobri / dd = $a_ratio (target 1.0: $(verdict "$a_ratio" 1.0))"
a_share=$(awk -v s="$a_start" -v t="$a_mobri" 'BEGIN { printf "%.1f", 100 * s / t }')
echo "  start-up $((a_start / 1000000)) ms = $a_share% of mobri's time (target < 5: $(verdict 5 "$a_share"))"

echo "(b) 2 GiB file -> new file, bs=1M, page cache warm"
dd if=/dev/urandom of="$work/source" bs=1M count=2048 status=none
cat "$work/source" >/dev/null
fresh='rm -f "$work/target"; sync'
b_dd=$(best_ns "$fresh" dd if="$work/source" of="$work/target" bs=1M)
read -r b_loop b_mobri < <(alternate "$fresh" \
  'wine "$bin/rawcopy.exe" "$win_work\\source" "$win_work\\target" 1048576' \
  'wine "$bin/mobri.exe" "if=$win_work\\source" "of=$win_work\\target" bs=1M')
cmp -s "$work/source" "$work/target" || { echo "  mobri's copy differs from its source" >&2; exit 1; }
report "GNU dd (native)" $((2 * GiB)) "$b_dd"
report "bare ReadFile/WriteFile (Wine)" $((2 * GiB)) "$b_loop"
report "mobri (Wine)" $((2 * GiB)) "$b_mobri"
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

echo "(d) 128 MiB file -> new file, bs=512, page cache warm: the cost of --progress"
d_copy='wine "$bin/mobri.exe" "if=$win_work\\source" "of=$win_work\\target" count=256k'
d_blocks=$((256 * 1024))
read -r d_plain d_progress < <(alternate "$fresh" "$d_copy" "$d_copy --progress")
report "mobri (Wine)" $((128 * MiB)) "$d_plain"
report "mobri --progress (Wine)" $((128 * MiB)) "$d_progress"
echo "  progress costs $(percent "$d_progress" "$d_plain")% of the copy, measured directly"
z_copy=(wine "$bin/mobri.exe" if=/dev/zero of=/dev/null count=64M)
z_plain=$(best_ns : "${z_copy[@]}")
z_progress=$(best_ns : "${z_copy[@]}" --progress)
d_extra=$(awk -v a="$z_progress" -v b="$z_plain" 'BEGIN { printf "%.1f", (a - b) / (64 * 1048576) }')
d_block=$(awk -v t="$d_plain" -v n="$d_blocks" 'BEGIN { printf "%.0f", t / n }')
d_cost=$(awk -v x="$d_extra" -v y="$d_block" 'BEGIN { printf "%.2f", 100 * x / y }')
echo "  per block: $d_extra ns of $d_block ns = $d_cost% (target < 5: $(verdict 5 "$d_cost"))"
