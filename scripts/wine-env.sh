# Sourced: the Wine settings every run of this project uses, with the prefix inside the build folder.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${SNAPTREE_BUILD_DIR:-build}
case $build_dir in /*) ;; *) build_dir="$root/$build_dir" ;; esac
export WINEPREFIX="$build_dir/x64/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winedbg.exe=d"
export WINEARCH=win64

# A persistent server makes each program start cheap; the first start creates the prefix.
wine_start() {
  mkdir -p "$WINEPREFIX"
  wineserver -p 2>/dev/null || true  # already running for this prefix is fine
  # Plain wineboot: with -i and a persistent server, a second services.exe may start, and
  # services created through one manager stay unknown to the other.
  wine wineboot >/dev/null 2>&1 || true
}
wine_stop() { wineserver -k 2>/dev/null || true; }
