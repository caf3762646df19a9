#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and testing. Safe to run again.
set -euo pipefail

need=()
have() { command -v "$1" >/dev/null 2>&1; }
have x86_64-w64-mingw32-g++ || need+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix)
have i686-w64-mingw32-g++   || need+=(g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix)
have x86_64-w64-mingw32-dlltool || need+=(binutils-mingw-w64-x86-64)
have wine   || need+=(wine)
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
have cmake  || need+=(cmake)
have ninja  || need+=(ninja-build)
have python3 || need+=(python3)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)

if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
