#!/usr/bin/env bash
# Builds the tools and shows them at work under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
echo "== building (first run: several minutes) =="
"$root/scripts/build.sh" >/dev/null
. "$root/scripts/wine-env.sh"
wine_start
trap wine_stop EXIT
bin="$build_dir/x64/bin"
demo='C:\snaptree-demo'
rm -rf "$WINEPREFIX/drive_c/snaptree-demo"
mkdir -p "$WINEPREFIX/drive_c/snaptree-demo"
run() { echo; echo "\$ $*"; "$@" || echo "(exit status $?)"; }

echo
echo "== mobri: the raw block copy program (shipped as build/i686/bin/mobri.exe; the demo runs the x86-64 build) =="
run wine "$bin/mobri.exe" --help
run wine "$bin/mobri.exe" --list
run wine "$bin/mobri.exe" if=/dev/random "of=$demo\\random.img" bs=1M count=8 --progress
run wine "$bin/mobri.exe" "if=$demo\\random.img" "of=$demo\\copy.img" bs=64k
cmp "$WINEPREFIX/drive_c/snaptree-demo/random.img" "$WINEPREFIX/drive_c/snaptree-demo/copy.img" &&
  echo "copy.img is byte-identical to random.img"

echo
echo "== the simulated shadow copy service: lay out the demo server's files =="
run wine "$bin/simvss-layout.exe" "$bin/machines/demo.xml" "$demo\\machine"
export SIMVSS_ROOT="$demo\\machine"

echo
echo "== the bench host: a backup and a restore through a plug-in and the simulated service =="
echo "(the test plug-in serves a small known tree)"
run wine "$bin/hostsim.exe" backup --machine "$bin/machines/demo.xml" --archive "$demo\\archive" \
  --plugin testplugin.dll --command test:/tree/
run wine "$bin/hostsim.exe" list --archive "$demo\\archive"
run wine "$bin/hostsim.exe" restore --machine "$bin/machines/demo.xml" --archive "$demo\\archive" \
  --plugin testplugin.dll

echo
echo "== snaptree-fd: back up system state and SQL Server, damage the server, restore, reboot, verify =="
# The COM+ catalog stand-in takes the registration database restore; removed again at the end.
catalog='HKLM\Software\Classes\CLSID\{F618C514-DFB8-11D1-A2CF-00805FC79235}'
wine reg add "$catalog\\InprocServer32" /ve /d "$(winepath -w "$bin/simcomcatalog.dll")" /f >/dev/null 2>&1
wine reg add "$catalog\\InprocServer32" /v ThreadingModel /d Both /f >/dev/null 2>&1
wine reg add "$catalog" /v RecordFile /d "$demo\\complus-restores.txt" /f >/dev/null 2>&1
trap 'wine reg delete "$catalog" /f >/dev/null 2>&1; wine_stop' EXIT
run wine "$bin/hostsim.exe" backup --machine "$bin/machines/demo.xml" --archive "$demo\\snaptree" \
  --command vss:/@SYSTEMSTATE/ --command vss:/@MSSQL/
machine_dir="$WINEPREFIX/drive_c/snaptree-demo/machine"
echo
echo "damaging the server: two database files overwritten, a system file removed"
find "$machine_dir" -iname '*.mdf' | head -2 | while read -r f; do echo damaged >"$f"; done
find "$machine_dir" -iname 'ntoskrnl.exe' | head -1 | xargs -r rm -f
run wine "$bin/hostsim.exe" restore --machine "$bin/machines/demo.xml" --archive "$demo\\snaptree" \
  --hive-record "$demo\\hive-replacements.txt"
run wine "$bin/simvss-reboot.exe" --hive-record "$demo\\hive-replacements.txt"
run wine "$bin/simvss-layout.exe" --verify "$demo\\machine" "$bin/machines/demo.xml"
echo
echo "The archive is plain files: $WINEPREFIX/drive_c/snaptree-demo/archive"
echo "The service's journal of calls: $WINEPREFIX/drive_c/snaptree-demo/archive/vss-journal.txt"
