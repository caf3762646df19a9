#!/usr/bin/env bash
# Builds the tools and shows them at work under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" >/dev/null
. "$root/scripts/wine-env.sh"
wine_start
trap wine_stop EXIT
bin="$build_dir/x64/bin"

echo "== mobri: usage (the shipped program is build/i686/bin/mobri.exe) =="
wine "$bin/mobri.exe" --help || true
