#!/usr/bin/env bash
# Builds the tools and shows them at work under Wine: mobri's copies, then snaptree-fd's whole job
# cycle on a simulated Windows Server 2008 R2 with SQL Server (full and incremental backup,
# damage, restore of the chain, reboot, and a file-by-file check of the machine).
# Exit status 0 only when every job succeeded and the machine came back as the incremental saw it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
echo "== building (first run: several minutes) =="
"$root/scripts/build.sh" >/dev/null
. "$root/scripts/wine-env.sh"
cd "$root"
rel() { realpath --relative-to="$root" "$1"; }
bin=$(rel "$build_dir/x64/bin")
out=$(rel "$build_dir/demo")   # logs, the machine description and, at the end, the demo's files
rm -rf "$out"
mkdir -p "$out"
wine_start
demo_start=$(date +%s.%N)

# Everything the jobs touch lives in C:\snaptree-demo (the simulated service needs drive C:); it
# moves to $out/files at the end, and the registry values the demo causes are taken back, so the
# Wine prefix is left as it was.
demo='C:\snaptree-demo'
demo_unix="$WINEPREFIX/drive_c/snaptree-demo"
rm -rf "$demo_unix"
mkdir -p "$demo_unix"
machine="$out/SRV2008R2.xml"
catalog='HKLM\Software\Classes\CLSID\{F618C514-DFB8-11D1-A2CF-00805FC79235}'
session='HKLM\System\CurrentControlSet\Control\Session Manager'
# Keys the restore or the layout create; those that did not exist before go again at the end.
keys=('HKLM\System\CurrentControlSet\Control\BackupRestore\SystemStateRestore'
      'HKLM\System\CurrentControlSet\Control\BackupRestore'
      'HKLM\System\CurrentControlSet\Services\DFSR\Restore'
      'HKLM\System\CurrentControlSet\Services\DFSR'
      'HKLM\System\CurrentControlSet\Control\hivelist')
had_key=()
for key in "${keys[@]}"; do
  if wine reg query "$key" >/dev/null 2>&1; then had_key+=(1); else had_key+=(0); fi
done
cleanup() {
  set +e
  wine reg delete "$catalog" /f >/dev/null 2>&1
  [ -f "$machine" ] && wine "$bin/simvss-layout.exe" "$machine" --remove-hivelist >/dev/null 2>&1
  wine reg delete "$session" /v PendingFileRenameOperations /f >/dev/null 2>&1
  wine reg delete "$session" /v AllowProtectedRenames /f >/dev/null 2>&1
  for i in "${!keys[@]}"; do
    [ "${had_key[$i]}" = 0 ] && wine reg delete "${keys[$i]}" /f >/dev/null 2>&1
  done
  wine_stop
  rm -rf "$out/files"
  [ -d "$demo_unix" ] && mv "$demo_unix" "$out/files"
}
trap cleanup EXIT

# One step: its command, its full output in a log file, and a one-line outcome.
step_rc=0
step() {
  local log=$1
  shift
  echo
  echo "\$ $*"
  local t0 t1
  t0=$(date +%s.%N)
  step_rc=0
  "$@" >"$log" 2>&1 || step_rc=$?
  sed -i 's/\r$//' "$log"  # the Windows programs end their lines with CR LF
  t1=$(date +%s.%N)
  step_seconds=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }')
}
outcome() { echo "  -> $*"; }

echo
echo "== mobri: the raw block copy program (shipped as build/i686/bin/mobri.exe; the demo runs the x86-64 build) =="
run() { echo; echo "\$ $*"; "$@" || echo "(exit status $?)"; }
run wine "$bin/mobri.exe" --help
run wine "$bin/mobri.exe" --list
run wine "$bin/mobri.exe" if=/dev/random "of=$demo\\random.img" bs=1M count=8 --progress
run wine "$bin/mobri.exe" "if=$demo\\random.img" "of=$demo\\copy.img" bs=64k
mobri_cmp="copy.img is byte-identical to random.img"
cmp -s "$demo_unix/random.img" "$demo_unix/copy.img" || mobri_cmp="copy.img DIFFERS from random.img"
echo "$mobri_cmp"
rm -f "$demo_unix/random.img" "$demo_unix/copy.img"

echo
echo "== snaptree-fd: the whole job cycle on a simulated Windows Server 2008 R2 with SQL Server =="
echo "(full job logs in $out/)"
# The 2008 R2 server of the simulated service, with a default SQL Server 2008 R2 instance added:
# its writer as that generation reports it, one component per database.
sql_files='%SIMVSS_ROOT%\Program Files\Microsoft SQL Server\MSSQL10_50.MSSQLSERVER\MSSQL\DATA'
awk -v data="$sql_files" '
  function db(name, mdf, ldf) {
    printf "    <component logicalPath=\"SRV2008R2\" name=\"%s\" flags=\"APP_ROLLBACK_RECOVERY\">\n", name
    printf "      <database path=\"%s\" filespec=\"%s\"/>\n", data, mdf
    printf "      <log path=\"%s\" filespec=\"%s\"/>\n    </component>\n", data, ldf
  }
  /^  <layout>/ {
    print "  <writer name=\"SqlServerWriter\" classId=\"{a65faa63-5ea8-4ebc-9dbd-a0c4db26912a}\""
    print "          instanceId=\"{08e1f0c0-0000-4000-8000-0000000000c0}\" usage=\"USERDATA\" source=\"TRANSACTEDDB\""
    print "          backupSchema=\"DIFFERENTIAL|TIMESTAMPED|LAST_MODIFY|WRITER_SUPPORTS_NEW_TARGET|WRITER_SUPPORTS_RESTORE_WITH_MOVE|COPY\">"
    print "    <restoreMethod method=\"RESTORE_IF_CAN_REPLACE\" writerRestore=\"ALWAYS\"/>"
    db("master", "master.mdf", "mastlog.ldf"); db("model", "model.mdf", "modellog.ldf")
    db("msdb", "MSDBData.mdf", "MSDBLog.ldf"); db("Sales", "Sales.mdf", "Sales_log.ldf")
    print "  </writer>\n"
    print
    n = split("master.mdf:262144 mastlog.ldf:65536 model.mdf:131072 modellog.ldf:32768 MSDBData.mdf:196608 MSDBLog.ldf:65536 Sales.mdf:524288 Sales_log.ldf:131072", f, " ")
    for (i = 1; i <= n; i++) {
      split(f[i], p, ":")
      printf "    <file path=\"%s\\%s\" size=\"%s\"/>\n", data, p[1], p[2]
    }
    next
  }
  { print }' "$bin/machines/server2008r2.xml" >"$machine"
export SIMVSS_ROOT="$demo\\machine"
machine_unix="$demo_unix/machine"
echo "machine: $machine (server2008r2.xml with SQL Server); \$ export SIMVSS_ROOT='$SIMVSS_ROOT'"

# The COM+ catalog stand-in takes the registration database restore.
wine reg add "$catalog\\InprocServer32" /ve /d "$(winepath -w "$bin/simcomcatalog.dll")" /f >/dev/null 2>&1
wine reg add "$catalog\\InprocServer32" /v ThreadingModel /d Both /f >/dev/null 2>&1
wine reg add "$catalog" /v RecordFile /d "$demo\\complus-restores.txt" /f >/dev/null 2>&1
echo "the COM+ catalog stand-in (simcomcatalog.dll) is registered until the demo ends"

archive="$demo\\archive"
hive_record="$demo\\hive-replacements.txt"
declare -a job_rows=()
jobs_failed=0
# A backup or restore job through the bench host: its outcome from the log's summary line.
job() {
  local name=$1 log=$2
  shift 2
  step "$log" wine "$bin/hostsim.exe" "$@"
  local summary entries bytes
  summary=$(grep '^summary:' "$log" | tail -1 || true)
  entries=$(sed -n 's/.* entries=\([0-9]*\).*/\1/p' <<<"$summary")
  bytes=$(sed -n 's/.* bytes=\([0-9]*\).*/\1/p' <<<"$summary")
  job_rows+=("$(printf '%-22s %9s %12s %9.1f  %s' "$name" "${entries:--}" "${bytes:--}" "$step_seconds" \
    "$([ "$step_rc" = 0 ] && echo ok || echo FAILED)")")
  if [ "$step_rc" = 0 ]; then
    outcome "ok: ${entries:-?} entries, ${bytes:-?} bytes in ${step_seconds}s (log: $log)"
  else
    jobs_failed=$((jobs_failed + 1))
    outcome "FAILED with exit status $step_rc (log: $log):"
    grep -E '^(FATAL|ERROR):' "$log" | head -5 | sed 's/^/     /'
  fi
}

echo
echo "-- 1. lay out the server's files (generation 0)"
step "$out/1-layout.log" wine "$bin/simvss-layout.exe" "$machine" "$demo\\machine"
outcome "$(tail -1 "$out/1-layout.log")"

echo
echo "-- 2. full backup of system state and SQL Server"
job "full backup" "$out/2-full-backup.log" backup --machine "$machine" --archive "$archive" \
  --level F --accurate --command vss:/@SYSTEMSTATE/ --command vss:/@MSSQL/

echo
echo "-- 3. the server moves on (generation 1), incremental backup"
# Time is kept in whole seconds: a job's information files carry its start second, and the host
# takes a file of the same size and modification second as unchanged. On a real server jobs are
# minutes apart; this demo is fast enough to fall within one second.
sleep 1
step "$out/3-layout.log" wine "$bin/simvss-layout.exe" "$machine" "$demo\\machine" --generation 1
outcome "$(tail -1 "$out/3-layout.log")"
sleep 1
job "incremental backup" "$out/3-incremental-backup.log" backup --machine "$machine" --archive "$archive" \
  --level I --accurate --command vss:/@SYSTEMSTATE/ --command vss:/@MSSQL/

echo
echo "-- 4. damage the server"
damaged=()
live() { printf '%s/%s' "$machine_unix" "$1"; }
change() {  # overwrite 16 bytes at offset 64, as a bad sector or a stray write would
  printf 'DAMAGED-DAMAGED!' | dd of="$(live "$1")" bs=1 seek=64 conv=notrunc status=none
  damaged+=("changed   $1")
}
for f in 'Windows/System32/ntoskrnl.exe' 'Windows/System32/drivers/ntfs.sys'; do
  [ -f "$(live "$f")" ] && change "$f"
done
for f in 'Windows/System32/hal.dll' 'Windows/System32/spoolsv.exe' 'Windows/System32/Tasks/Microsoft/Windows/Defrag/ScheduledDefrag'; do
  [ -f "$(live "$f")" ] && rm -f "$(live "$f")" && damaged+=("removed   $f")
done
head -c 4096 /dev/zero >"$(live 'Windows/System32/config/SOFTWARE')"
damaged+=("corrupted Windows/System32/config/SOFTWARE (registry hive, zeroed)")
sales='Program Files/Microsoft SQL Server/MSSQL10_50.MSSQLSERVER/MSSQL/DATA/Sales.mdf'
head -c 8192 /dev/zero | dd of="$(live "$sales")" bs=8192 seek=2 conv=notrunc status=none
damaged+=("corrupted $sales (database, a page zeroed)")
for d in "${damaged[@]}"; do echo "  $d"; done

echo
echo "-- 5. restore the chain, reboot, verify"
job "restore (full+incr)" "$out/5-restore.log" restore --machine "$machine" --archive "$archive" \
  --hive-record "$hive_record"
cp "$demo_unix/hive-replacements.txt" "$out/5-hive-replacements.txt" 2>/dev/null || : >"$out/5-hive-replacements.txt"
step "$out/5-reboot.log" wine "$bin/simvss-reboot.exe" --machine "$machine" --hive-record "$hive_record"
outcome "$(head -1 "$out/5-reboot.log"); $(grep -cE ': (moved|replaced|deleted)$' "$out/5-reboot.log" || true) carried out; $(grep -c '(answered 0)' "$out/5-reboot.log" || true) hives swapped (exit status $step_rc, log: $out/5-reboot.log)"
step "$out/5-verify.log" wine "$bin/simvss-layout.exe" "$machine" --verify "$demo\\machine" --generation 1
verify_rc=0
# The restored SYSTEM hive holds the restore's own values; a fresh layout of the generation tells
# them from anything else.
wine "$bin/simvss-layout.exe" "$machine" "$demo\\reference" --generation 1 >"$out/5-reference-layout.log" 2>&1 || true
python3 scripts/demo_report.py verdict "$out/5-verify.log" "$out/5-hive-replacements.txt" "$machine" \
  "$demo\\machine" "$machine_unix/Windows/System32/config/SYSTEM" \
  "$demo_unix/reference/Windows/System32/config/SYSTEM" >"$out/5-verdict.txt" || verify_rc=$?
rm -rf "$demo_unix/reference"
outcome "$(head -1 "$out/5-verdict.txt") (simvss-layout's exit status $step_rc; log: $out/5-verify.log)"

demo_seconds=$(awk -v a="$demo_start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.0f", b - a }')

echo
echo "== summary =="
echo
printf '%-22s %9s %12s %9s\n' job entries bytes seconds
for row in "${job_rows[@]}"; do echo "$row"; done
echo
python3 scripts/demo_report.py elements "$out/5-restore.log" "full backup" "incremental backup"
echo
cat "$out/5-verdict.txt"
echo "mobri: $mobri_cmp"
echo
echo "demo time (after the build): $demo_seconds s"
echo "logs: $out/*.log; the archive, the machine and the service's journal: $out/files/ (after exit)"
[ "$jobs_failed" = 0 ] || echo "$jobs_failed job(s) failed"
[ "$verify_rc" = 0 ] && [ "$jobs_failed" = 0 ]
