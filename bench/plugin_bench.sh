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
# within 1.5x of the bare loop, the cost per file at each size within 20% of that at the first.
# Each figure is the best of BENCH_RUNS (default 3); the commands take turns so a busy machine
# slows all of them alike. Beside the wall time each command's CPU time is taken (its processes
# and the prefix's wine server), which a machine shared with other work disturbs far less.
# BENCH_SIZES overrides the sizes. Builds with scripts/build.sh when a program is missing.
# Takes a quarter of an hour on an idle machine; not part of the tests.
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

# The wine server of this prefix (its folder is named after the prefix's device and inode).
server=$(printf 'server-%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))
for pid in $(pgrep wineserver); do
  case $(readlink "/proc/$pid/cwd") in */"$server") server=$pid ;; esac
done
[[ $server =~ ^[0-9]+$ ]] || echo "note: the prefix's wine server was not found; cpu figures leave it out"
server_ns() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%.0f", ($14 + $15) * 1e9 / hz }' "/proc/$server/stat" 2>/dev/null || echo 0; }

# The figures: best[NAME] and cpu[NAME] in nanoseconds; note[NAME] the last run's summary line.
declare -A best cpu note
time_it() {  # NAME CLEANUP COMMAND: one run of the text COMMAND (eval'd) after CLEANUP
  local name=$1 cleanup=$2 command=$3 start end used served TIMEFORMAT='%U %S'
  eval "$cleanup"
  served=$(server_ns)
  start=$(date +%s%N)
  used=$( { time eval "$command" >"$work/output" 2>/dev/null; } 2>&1 ) || true
  end=$(date +%s%N)
  served=$(($(server_ns) - served))
  note[$name]=$(grep -E 'summary:|entries=' "$work/output" | tail -1 || true)
  local took=$((end - start))
  used=$(awk -v t="$used" -v s="$served" 'BEGIN { split(t, f, " "); printf "%.0f", (f[1] + f[2]) * 1e9 + s }')
  if [ -z "${best[$name]:-}" ] || [ "$took" -lt "${best[$name]}" ]; then best[$name]=$took; fi
  if [ -z "${cpu[$name]:-}" ] || [ "$used" -lt "${cpu[$name]}" ]; then cpu[$name]=$used; fi
}
# field TEXT KEY: the value of KEY=... in TEXT
field() { printf '%s\n' "$1" | tr ' ' '\n' | sed -n "s/^$2=//p" | head -1; }
secs() { awk -v ns="$1" 'BEGIN { printf "%.2f", ns / 1e9 }'; }
rate() { awk -v n="$1" -v ns="$2" 'BEGIN { printf "%.0f", (ns > 0 ? n / (ns / 1e9) : 0) }'; }
ratio() { awk -v x="$1" -v y="$2" 'BEGIN { printf "%.2f", (y > 0 ? x / y : 0) }'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN { print (r <= t ? "met" : "MISSED") }'; }

hostsim() { wine "$bin/hostsim.exe" "$@"; }

# scaling N FIRST: the cost per file at N files against FIRST files (goal: within 20%).
scaling() {
  local n=$1 first=$2 kind label growth within
  echo "  cost per file against $first files:"
  for kind in backup backupcpu restore restorecpu; do
    [ -n "${per_file[$kind$first]:-}" ] && [ -n "${per_file[$kind$n]:-}" ] || continue
    label=${kind%cpu}
    if [ "$kind" = "$label" ]; then label="$label, wall"; else label="$label, cpu"; fi
    growth=$(awk -v a="${per_file[$kind$n]}" -v b="${per_file[$kind$first]}" \
             'BEGIN { printf "%.1f", (b > 0 ? 100 * (a - b) / b : 0) }')
    within=$(awk -v g="$growth" 'BEGIN { print (g <= 20 && g >= -20 ? "met" : "MISSED") }')
    echo "    $label: $((per_file[$kind$first] / 1000)) us -> $((per_file[$kind$n] / 1000)) us ($growth%, goal within 20%: $within)"
  done
}

echo "snaptree-fd benchmark: best of $runs runs each, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(wine --version 2>/dev/null)"
declare -A per_file
first=""
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
  # Each run starts without the archive or store of the run before; the last ones stay for restore.
  for ((r = 0; r < runs; r++)); do
    time_it "backup$n" "rm -rf '$work/archive-$n'" "$backup"
    time_it "empty$n" "rm -rf '$work/empty-$n'" "$empty"
    time_it "bare$n" "rm -rf '$work/store-$n'" "$bare"
    time_it "tarstat$n" : "$tar_stat"
    time_it "tarread$n" : "$tar_read"
  done

  restore="hostsim restore --machine '$machine' --archive '$archive'"
  restore_empty="hostsim restore --machine '$machine' --archive '$archive' --select /no/such/entry"
  bare_write="wine '$bin/streamloop.exe' write '$win_work\\store-$n' '$SIMVSS_ROOT\\Data'"
  tar_extract="tar xf '$work/n$n.tar' -C '$work/tarx-$n'"
  # Until the plug-in restores entries there is nothing to measure against the loops.
  time_it "restore$n" : "$restore"
  r_entries=$(field "${note[restore$n]}" entries)
  for ((r = 0; r < runs && ${r_entries:-0} > 0; r++)); do
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
  plugin_b_cpu=$((cpu[backup$n] - cpu[empty$n]))
  printf '  %-44s %8s %8s %10s\n' "backup" "seconds" "cpu s" "files/s"
  for row in "hostsim backup, whole job:backup$n" "hostsim, command without writers:empty$n" \
             "bare BackupRead loop + store:bare$n" "tar cf /dev/null (native):tarstat$n" \
             "tar cf - | cat (native):tarread$n"; do
    key=${row##*:}
    printf '  %-44s %8s %8s %10s\n' "${row%%:*}" "$(secs "${best[$key]}")" "$(secs "${cpu[$key]}")" "$(rate "$files" "${best[$key]}")"
  done
  printf '  %-44s %8s %8s %10s\n' "plug-in's part (whole job - empty job)" "$(secs "$plugin_b")" "$(secs "$plugin_b_cpu")" "$(rate "$files" "$plugin_b")"
  b_ratio=$(ratio "$plugin_b" "${best[bare$n]}")
  b_cpu_ratio=$(ratio "$plugin_b_cpu" "${cpu[bare$n]}")
  echo "  plug-in / bare loop = $b_ratio wall, $b_cpu_ratio cpu (goal <= 1.3: $(verdict "$b_ratio" 1.3) wall, $(verdict "$b_cpu_ratio" 1.3) cpu); whole job / bare loop = $(ratio "${best[backup$n]}" "${best[bare$n]}") wall"
  summary=${note[backup$n]}
  peak=$(printf '%s\n' "$summary" | grep -oE 'peak[a-z_]*=[0-9]+' | head -1 || true)
  echo "  host blocks: ${peak:-no peak reported by hostsim}; live after freePlugin $(field "$summary" live_blocks)"
  per_file[backup$n]=$((plugin_b / files))
  per_file[backupcpu$n]=$((plugin_b_cpu / files))

  # Restore figures.
  if [ "${r_entries:-0}" -eq 0 ]; then
    echo "  restore: skipped, the plug-in restored no entry (hostsim restore: ${note[restore$n]:-no summary})"
  else
    plugin_r=$((best[restore$n] - best[rempty$n]))
    plugin_r_cpu=$((cpu[restore$n] - cpu[rempty$n]))
    printf '  %-44s %8s %8s %10s\n' "restore" "seconds" "cpu s" "files/s"
    for row in "hostsim restore, whole job:restore$n" "hostsim restore selecting nothing:rempty$n" \
               "bare BackupWrite loop:barew$n" "tar xf (native):tarx$n"; do
      key=${row##*:}
      printf '  %-44s %8s %8s %10s\n' "${row%%:*}" "$(secs "${best[$key]}")" "$(secs "${cpu[$key]}")" "$(rate "$files" "${best[$key]}")"
    done
    printf '  %-44s %8s %8s %10s\n' "plug-in's part (whole - selecting nothing)" "$(secs "$plugin_r")" "$(secs "$plugin_r_cpu")" "$(rate "$files" "$plugin_r")"
    r_ratio=$(ratio "$plugin_r" "${best[barew$n]}")
    r_cpu_ratio=$(ratio "$plugin_r_cpu" "${cpu[barew$n]}")
    echo "  plug-in / bare loop = $r_ratio wall, $r_cpu_ratio cpu (goal <= 1.5: $(verdict "$r_ratio" 1.5) wall, $(verdict "$r_cpu_ratio" 1.5) cpu); entries restored $r_entries"
    per_file[restore$n]=$((plugin_r / files))
    per_file[restorecpu$n]=$((plugin_r_cpu / files))
  fi
  if [ -z "$first" ]; then first=$n; else scaling "$n" "$first"; fi
done
