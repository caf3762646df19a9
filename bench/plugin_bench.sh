#!/usr/bin/env bash
# Cost of snaptree-fd per file, backup and restore, on a component of 1,000, 5,000 and 20,000
# files (mixed sizes; one file in a thousand is 4 MiB), measured side by side in one run:
#   hostsim backup   the bench host backs up vss:/@SYSTEMSTATE/ (one writer, one component)
#   hostsim, empty   the same job with a command whose element takes no writer: the host, the
#                    service and its snapshot (a copy of the files here) without the plug-in's files
#   bare loop        streamloop.exe: the same files read with BackupRead (the emulation the host
#                    installs) in the host's 64 KiB blocks, stored one data file per entry with a
#                    checksum as the host stores them; nothing else
#   tar              natively: `tar cf /dev/null` (GNU tar then only reads the status of each
#                    file) and `tar cf - | cat` (reads the data too)
# and for restore: hostsim restore of that backup, the same restore selecting no entry, the bare
# loop writing the stored streams back with BackupWrite, and `tar xf` natively.
# The plug-in's part is hostsim minus hostsim-empty; its goals: backup within 1.3x and restore
# within 1.5x of the bare loop, the cost per file at the largest size within 20% of the smallest.
# Each figure is the best of BENCH_RUNS (default 3); the commands take turns so a busy machine
# slows all of them alike. BENCH_SIZES overrides the sizes. Builds with scripts/build.sh when a
# program is missing. Takes several minutes; not part of the tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/wine-env.sh"
bin="$build_dir/x64/bin"
programs="hostsim.exe snaptree-fd.dll simvss.dll simvss-layout.exe streamloop.exe"
for program in $programs; do
  [ -e "$bin/$program" ] || { "$root/scripts/build.sh" >&2; break; }
done
for program in $programs; do
  [ -e "$bin/$program" ] || { echo "missing $bin/$program after the build" >&2; exit 1; }
done
runs=${BENCH_RUNS:-3}
sizes=${BENCH_SIZES:-"1000 5000 20000"}

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

# The figures: best[NAME] in nanoseconds; note[NAME] the last run's summary line or counts.
declare -A best note
time_it() {  # NAME CLEANUP COMMAND: one run of the text COMMAND (eval'd) after CLEANUP
  local name=$1 cleanup=$2 command=$3 start end output
  eval "$cleanup"
  start=$(date +%s%N)
  output=$(eval "$command" 2>/dev/null) || true
  end=$(date +%s%N)
  note[$name]=$(printf '%s\n' "$output" | grep -E 'summary:|entries=' | tail -1 || true)
  local took=$((end - start))
  if [ -z "${best[$name]:-}" ] || [ "$took" -lt "${best[$name]}" ]; then best[$name]=$took; fi
}
# field TEXT KEY: the value of KEY=... in TEXT
field() { printf '%s\n' "$1" | tr ' ' '\n' | sed -n "s/^$2=//p" | head -1; }
secs() { awk -v ns="$1" 'BEGIN { printf "%.2f", ns / 1e9 }'; }
rate() { awk -v n="$1" -v ns="$2" 'BEGIN { printf "%.0f", (ns > 0 ? n / (ns / 1e9) : 0) }'; }
ratio() { awk -v x="$1" -v y="$2" 'BEGIN { printf "%.2f", (y > 0 ? x / y : 0) }'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN { print (r <= t ? "met" : "MISSED") }'; }

hostsim() { wine "$bin/hostsim.exe" "$@"; }

echo "snaptree-fd benchmark: best of $runs runs each, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(wine --version 2>/dev/null)"
declare -A per_file
restore_ran=no
for n in $sizes; do
  write_machine "$n"
  machine="$win_work\\machine-$n.xml"
  export SIMVSS_ROOT="$win_work\\n$n"
  live="$work/n$n"
  wine "$bin/simvss-layout.exe" "$machine" "$SIMVSS_ROOT" >/dev/null
  files=$(find "$live/Data" -type f | wc -l)
  bytes=$(du -sb "$live/Data" | cut -f1)
  archive="$win_work\\archive-$n"
  backup="hostsim backup --machine '$machine' --archive '$archive' --command vss:/@SYSTEMSTATE/"
  empty="hostsim backup --machine '$machine' --archive '$win_work\\empty-$n' --command vss:/@EXCHANGE/"
  bare="wine '$bin/streamloop.exe' read '$SIMVSS_ROOT\\Data' '$win_work\\store-$n'"
  tar_stat="tar cf /dev/null -C '$live' Data"
  tar_read="tar cf - -C '$live' Data | cat >/dev/null"
  tar -cf "$work/n$n.tar" -C "$live" Data
  fresh_backup="rm -rf '$work/archive-$n' '$work/empty-$n' '$work/store-$n'"
  for ((r = 0; r < runs; r++)); do
    time_it "backup$n" "$fresh_backup" "$backup"
    time_it "empty$n" "$fresh_backup" "$empty"
    time_it "bare$n" "$fresh_backup" "$bare"
    time_it "tarstat$n" : "$tar_stat"
    time_it "tarread$n" : "$tar_read"
  done
  # The last round's archive and store stay for the restore figures.
  hostsim backup --machine "$machine" --archive "$archive" --command vss:/@SYSTEMSTATE/ >"$work/backup-$n.log" 2>&1 || true
  wine "$bin/streamloop.exe" read "$SIMVSS_ROOT\\Data" "$win_work\\store-$n" >/dev/null

  restore="hostsim restore --machine '$machine' --archive '$archive'"
  restore_empty="hostsim restore --machine '$machine' --archive '$archive' --select /no/such/entry"
  bare_write="wine '$bin/streamloop.exe' write '$win_work\\store-$n' '$SIMVSS_ROOT\\Data'"
  tar_extract="tar xf '$work/n$n.tar' -C '$work/tarx-$n'"
  for ((r = 0; r < runs; r++)); do
    time_it "restore$n" : "$restore"
    time_it "rempty$n" : "$restore_empty"
    time_it "barew$n" : "$bare_write"
    time_it "tarx$n" "rm -rf '$work/tarx-$n'; mkdir -p '$work/tarx-$n'" "$tar_extract"
  done

  # Backup figures.
  b_entries=$(field "${note[backup$n]}" entries)
  echo
  echo "== $n files ($files laid out, $((bytes / 1048576)) MiB); entries: hostsim ${b_entries:-?}, bare loop $(field "${note[bare$n]}" entries)"
  plugin_b=$((best[backup$n] - best[empty$n]))
  printf '  %-44s %8s %10s\n' "backup" "seconds" "files/s"
  for row in "hostsim backup, whole job:backup$n" "hostsim, command without writers:empty$n" \
             "bare BackupRead loop + store:bare$n" "tar cf /dev/null (native):tarstat$n" \
             "tar cf - | cat (native):tarread$n"; do
    printf '  %-44s %8s %10s\n' "${row%%:*}" "$(secs "${best[${row##*:}]}")" "$(rate "$files" "${best[${row##*:}]}")"
  done
  printf '  %-44s %8s %10s\n' "plug-in's part (whole job - empty job)" "$(secs "$plugin_b")" "$(rate "$files" "$plugin_b")"
  b_ratio=$(ratio "$plugin_b" "${best[bare$n]}")
  echo "  plug-in / bare loop = $b_ratio (goal <= 1.3: $(verdict "$b_ratio" 1.3)); whole job / bare loop = $(ratio "${best[backup$n]}" "${best[bare$n]}")"
  summary=${note[backup$n]}
  peak=$(printf '%s\n' "$summary" | grep -oE 'peak[a-z_]*=[0-9]+' | head -1 || true)
  echo "  host blocks: ${peak:-no peak reported by hostsim}; live after freePlugin $(field "$summary" live_blocks)"
  per_file[backup$n]=$((plugin_b / files))

  # Restore figures.
  r_entries=$(field "${note[restore$n]}" entries)
  plugin_r=$((best[restore$n] - best[rempty$n]))
  printf '  %-44s %8s %10s\n' "restore" "seconds" "files/s"
  for row in "hostsim restore, whole job:restore$n" "hostsim restore selecting nothing:rempty$n" \
             "bare BackupWrite loop:barew$n" "tar xf (native):tarx$n"; do
    printf '  %-44s %8s %10s\n' "${row%%:*}" "$(secs "${best[${row##*:}]}")" "$(rate "$files" "${best[${row##*:}]}")"
  done
  if [ "${r_entries:-0}" -eq 0 ]; then
    echo "  restore: the plug-in restored no entry (hostsim: entries=${r_entries:-?}); no restore figures for it yet"
  else
    restore_ran=yes
    printf '  %-44s %8s %10s\n' "plug-in's part (whole - selecting nothing)" "$(secs "$plugin_r")" "$(rate "$files" "$plugin_r")"
    r_ratio=$(ratio "$plugin_r" "${best[barew$n]}")
    echo "  plug-in / bare loop = $r_ratio (goal <= 1.5: $(verdict "$r_ratio" 1.5)); entries restored $r_entries"
    per_file[restore$n]=$((plugin_r / files))
  fi
done

# Growth of the cost per file from the smallest to the largest size.
set -- $sizes
small=$1
large=${!#}
echo
echo "== cost per file, $large files against $small files"
for kind in backup restore; do
  [ "$kind" = restore ] && [ $restore_ran = no ] && { echo "  restore: not measured"; continue; }
  [ -n "${per_file[$kind$small]:-}" ] && [ -n "${per_file[$kind$large]:-}" ] || continue
  growth=$(awk -v a="${per_file[$kind$large]}" -v b="${per_file[$kind$small]}" \
           'BEGIN { printf "%.1f", 100 * (a - b) / b }')
  within=$(awk -v g="$growth" 'BEGIN { print (g <= 20 && g >= -20 ? "met" : "MISSED") }')
  echo "  $kind: $((per_file[$kind$small] / 1000)) us -> $((per_file[$kind$large] / 1000)) us per file ($growth%, goal within 20%: $within)"
done
