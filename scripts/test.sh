#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
. "$root/scripts/wine-env.sh"
wine_start
trap wine_stop EXIT
cd "$build_dir/x64"
ctest --output-on-failure -j "$(nproc)" "$@"
