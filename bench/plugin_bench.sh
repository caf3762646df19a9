#!/usr/bin/env bash
# Cost of snaptree-fd per file, backup and restore, on a component of 1,000, 5,000 and 20,000
# files (mixed sizes; one file in a thousand is 4 MiB), measured side by side in one run.
#
# Backup, per size:
#   plug-in   hostsim backs up vss:/@SYSTEMSTATE/ (one writer, one component); the figure is the
#             time spent inside the plug-in's calls, as hostsim reports it ("plugin: seconds="):
#             without Wine's start, the service, its snapshot and the host's archive
#   bare      streamloop.exe read: the same files enumerated, opened as the plug-in opens them and
#             read with BackupRead (the emulation the host installs) in the host's 64 KiB blocks;
#             the first run also stores each stream as the host does, for the restore's loop, and
#             its figure leaves the store's files out ("seconds=" of streamloop) as the plug-in's
#             leaves out the host's archive
#   tar       natively, `tar cf /dev/null` (GNU tar then reads only the status of each file) and
#             `tar cf - | cat >/dev/null` (reads the data too): the machine's limit
# Restore, per size: hostsim restores that backup in place (Where=/) against streamloop.exe write,
# which writes the stored streams back over the same files with BackupWrite in 64 KiB blocks,
# and `tar xf` natively into a new folder.
#
# Goals: plug-in/bare <= 1.3 for backup and <= 1.5 for restore; the plug-in's cost per file at the
# largest size within 20% of that at the smallest; the peak of live host blocks the same at every
# size. Each figure is the best of BENCH_RUNS runs (default 3); the commands take turns, so a busy
# machine slows all of them alike. The whole job's wall time of hostsim is shown beside.
#
#   bench/plugin_bench.sh            1,000, 5,000 and 20,000 files, best of 3 (14 minutes on two
#                                    cores at load 1, 20 at load 2 to 5; the bench host's own part
#                                    of the 20,000-file backup, its snapshot and archive, takes half)
#   bench/plugin_bench.sh --quick    1,000 and 5,000 files, best of 2 (about 4 minutes)
#   BENCH_SIZES="1000 2000" BENCH_RUNS=1 bench/plugin_bench.sh
# Builds with scripts/build.sh when a program is missing. Not part of the tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/wine-env.sh"
bin="$build_dir/x64/bin"
runs=${BENCH_RUNS:-3}
sizes=${BENCH_SIZES:-"1000 5000 20000"}
case "${1:-}" in
  --quick) runs=${BENCH_RUNS:-2}; sizes=${BENCH_SIZES:-"1000 5000"} ;;
  "") ;;
  *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac
programs="hostsim.exe snaptree-fd.dll simvss.dll simvss-layout.exe streamloop.exe"
for program in $programs; do
  [ -e "$bin/$program" ] || { "$root/scripts/build.sh" >&2; break; }
done
for program in $programs; do
  [ -e "$bin/$program" ] || { echo "missing $bin/$program after the build" >&2; exit 1; }
done

wine_start || true  # a server left running from an earlier run is fine
work="$WINEPREFIX/drive_c/plugin_bench"
win_work='C:\plugin_bench'
trap 'rm -rf "$work"; wine_stop' EXIT
rm -rf "$work"
mkdir -p "$work"

# write_machine N: a machine with one writer whose one component holds N files below Data\,
# 200 to a folder. Sizes cycle through 0 bytes to 33000 (one or two host blocks with the stream
# header); every thousandth file is 4 MiB.
write_machine() {
  local n=$1
  {
    cat <<'EOF'
<?xml version="1.0" encoding="utf-8"?>
<machine name="BENCH" pendingPolls="0">
  <writer name="Bench Files Writer" classId="{b3c40001-0000-4000-8000-00000000be01}"
          instanceId="{b3c40001-0000-4000-8000-00000000be02}" usage="SYSTEMSERVICE" source="OTHER">
    <component name="Files" selectable="true">
      <file path="%SIMVSS_ROOT%\Data" filespec="*" recursive="true"/>
    </component>
  </writer>
  <layout>
EOF
    awk -v n="$n" 'BEGIN {
      split("0 100 700 2000 4096 9000 16000 33000", small, " ")
      for (i = 0; i < n; i++) {
        size = (i % 1000 == 999) ? 4194304 : small[i % 8 + 1]
        printf "    <file path=\"%%SIMVSS_ROOT%%\\Data\\d%03d\\f%05d.dat\" size=\"%d\"/>\n", i / 200, i, size
      }
    }'
    printf '  </layout>\n</machine>\n'
  } >"$work/machine-$n.xml"
}

# Figures in nanoseconds, the least of the runs: wall[NAME] the command's wall time, own[NAME]
# the time the program itself reports (hostsim: inside the plug-in; streamloop: its loop).
declare -A wall own peak
# run_it NAME CLEANUP COMMAND: one run of the text COMMAND (eval'd) after CLEANUP; a failing
# command stops the benchmark with its output.
run_it() {
  local name=$1 cleanup=$2 command=$3 start end took line seconds
  eval "$cleanup"
  start=$(date +%s%N)
  if ! eval "$command" >"$work/output" 2>&1; then
    echo "$name failed: $command" >&2
    tail -20 "$work/output" >&2
    exit 1
  fi
  end=$(date +%s%N)
  took=$((end - start))
  if [ -z "${wall[$name]:-}" ] || [ "$took" -lt "${wall[$name]}" ]; then wall[$name]=$took; fi
  line=$(grep -E '^plugin: |^entries=' "$work/output" | tail -1 || true)
  seconds=$(field "$line" seconds)
  [ -n "$seconds" ] || return 0
  seconds=$(awk -v s="$seconds" 'BEGIN { printf "%.0f", s * 1e9 }')
  if [ -z "${own[$name]:-}" ] || [ "$seconds" -lt "${own[$name]}" ]; then own[$name]=$seconds; fi
  local blocks
  blocks=$(field "$line" peak_live_blocks)
  if [ -n "$blocks" ]; then peak[$name]=$blocks; fi
  grep -E '^summary: |^entries=' "$work/output" | tail -1 >"$work/last-$name"
}
# field TEXT KEY: the value of KEY=... in TEXT
field() { printf '%s\n' "$1" | tr ' ' '\n' | sed -n "s/^$2=//p" | head -1; }
secs() { awk -v ns="$1" 'BEGIN { printf "%.2f", ns / 1e9 }'; }
ratio() { awk -v x="$1" -v y="$2" 'BEGIN { printf "%.2f", (y > 0 ? x / y : 0) }'; }
micros() { awk -v ns="$1" -v n="$2" 'BEGIN { printf "%.0f", ns / 1e3 / n }'; }

hostsim() { wine "$bin/hostsim.exe" "$@"; }
streamloop() { wine "$bin/streamloop.exe" "$@"; }

echo "snaptree-fd benchmark: best of $runs runs each, $(nproc) cores, load at start $(cut -d' ' -f1-3 /proc/loadavg), $(wine --version 2>/dev/null)"
declare -A files
for n in $sizes; do
  write_machine "$n"
  machine="$win_work\\machine-$n.xml"
  export SIMVSS_ROOT="$win_work\\n$n"
  live="$work/n$n"
  wine "$bin/simvss-layout.exe" "$machine" "$SIMVSS_ROOT" >/dev/null
  files[$n]=$(find "$live/Data" -type f | wc -l)
  echo "$n files laid out: $(find "$live/Data" | wc -l) entries below Data, $(($(du -sb "$live/Data" | cut -f1) / 1048576)) MiB; load $(cut -d' ' -f1 /proc/loadavg)" >&2
  archive="$win_work\\archive-$n"
  store="$win_work\\store-$n"
  for ((r = 0; r < runs; r++)); do
    run_it "backup$n" "rm -rf '$work/archive-$n'" "hostsim backup --machine '$machine' --archive '$archive' --command vss:/@SYSTEMSTATE/"
    if [ "$r" -eq 0 ]; then
      run_it "bareread$n" "rm -rf '$work/store-$n'" "streamloop read '$SIMVSS_ROOT\\Data' '$store'"
    else
      run_it "bareread$n" : "streamloop read '$SIMVSS_ROOT\\Data'"
    fi
    run_it "tar$n" : "tar cf /dev/null -C '$live' Data"
    run_it "tarcat$n" : "tar cf - -C '$live' Data | cat >/dev/null"
  done
  tar -cf "$work/n$n.tar" -C "$live" Data
  for ((r = 0; r < runs; r++)); do
    run_it "restore$n" : "hostsim restore --machine '$machine' --archive '$archive'"
    run_it "barewrite$n" : "streamloop write '$store' '$SIMVSS_ROOT\\Data'"
    run_it "tarx$n" "rm -rf '$work/tarx-$n'; mkdir -p '$work/tarx-$n'" "tar xf '$work/n$n.tar' -C '$work/tarx-$n'"
  done
  echo "  backup:  hostsim $(cat "$work/last-backup$n"); streamloop $(cat "$work/last-bareread$n"); load $(cut -d' ' -f1 /proc/loadavg)" >&2
  echo "  restore: hostsim $(cat "$work/last-restore$n"); streamloop $(cat "$work/last-barewrite$n")" >&2
  rm -rf "$work/archive-$n" "$work/store-$n" "$work/tarx-$n" "$work/n$n.tar" "$live"
done

echo "load at end $(cut -d' ' -f1-3 /proc/loadavg)"
echo
printf '%-8s %6s %9s %9s %9s %9s %8s %8s %7s %12s\n' operation files "plug-in s" "bare s" "tar s" "tar|cat s" \
  "plug/bare" "us/file" "peak" "hostsim job s"
verdicts=()
first=""
for n in $sizes; do
  for op in backup restore; do
    if [ "$op" = backup ]; then bare=bareread$n tar=tar$n tarcat=tarcat$n goal=1.3
    else bare=barewrite$n tar=tarx$n tarcat="" goal=1.5; fi
    plugin=${own[$op$n]}
    r=$(ratio "$plugin" "${own[$bare]}")
    printf '%-8s %6s %9s %9s %9s %9s %8s %8s %7s %12s\n' "$op" "${files[$n]}" "$(secs "$plugin")" \
      "$(secs "${own[$bare]}")" "$(secs "${wall[$tar]}")" "${tarcat:+$(secs "${wall[$tarcat]}")}" \
      "$r" "$(micros "$plugin" "${files[$n]}")" "${peak[$op$n]}" "$(secs "${wall[$op$n]}")"
    verdicts+=("$op $n files: plug-in/bare $r, goal <= $goal: $(awk -v r="$r" -v g="$goal" 'BEGIN { print (r <= g ? "met" : "MISSED") }')")
    if [ -n "$first" ] && [ "$n" != "$first" ]; then
      growth=$(awk -v a="$(micros "$plugin" "${files[$n]}")" -v b="$(micros "${own[$op$first]}" "${files[$first]}")" \
               'BEGIN { printf "%+.0f", (b > 0 ? 100 * (a - b) / b : 0) }')
      verdicts+=("$op $n files: cost per file $growth% against $first files, goal within 20%: $(awk -v g="$growth" 'BEGIN { print (g <= 20 && g >= -20 ? "met" : "MISSED") }')")
      verdicts+=("$op $n files: peak live blocks ${peak[$op$n]} against ${peak[$op$first]}: $([ "${peak[$op$n]}" = "${peak[$op$first]}" ] && echo met || echo MISSED)")
    fi
  done
  [ -n "$first" ] || first=$n
done
echo
echo "plug-in s: time inside the plug-in's calls; bare s: streamloop's loop without its store's files;"
echo "tar: native, cf /dev/null (status only) | cf - | cat (data too) for backup, xf for restore; best of $runs"
printf "%s\n" "${verdicts[@]}"
echo "the run took $SECONDS s"
