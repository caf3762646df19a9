#!/usr/bin/env bash
# Configures and builds both trees: build/x64 (plug-in, tools, tests) and build/i686 (shipped mobri.exe).
# SNAPTREE_BUILD_DIR names another folder than build/ (several working copies on one machine).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
out=${SNAPTREE_BUILD_DIR:-build}
for arch in x64 i686; do
  case $arch in
    x64)  tc=cmake/mingw-x86_64.cmake ;;
    i686) tc=cmake/mingw-i686.cmake ;;
  esac
  if [ ! -f "$out/$arch/build.ninja" ]; then
    cmake -S . -B "$out/$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="$root/$tc" >/dev/null
  fi
  cmake --build "$out/$arch" -- -k 0
done
