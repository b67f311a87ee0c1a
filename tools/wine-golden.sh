#!/usr/bin/env bash
# Golden suite against the Windows build. Builds tabulon.exe with MinGW-w64,
# the Linux tabulon and the Linux golden_runner with g++ (no CMake: the source
# lists are read from the CMakeLists.txt files), and tabulon-inspect on both
# sides with CMake (in the build folders of tools/wine-suite.sh, which it
# shares), sets up a fresh Wine prefix and runs every case folder of
# tests/golden/cases with
#   golden_runner --wrapper <wine loader> --windows --tool tabulon.exe
# and every one of tests/golden/inspect_cases (shown as inspect/NAME) with
# tabulon-inspect.exe.
# The same cases also run against the Linux tabulon, so that a case whose
# expectations do not hold on Linux either is told apart from a difference
# between the two builds.
#
# Usage: tools/wine-golden.sh [-j N] [CASE...]
#   CASE   case folder names, inspect/NAME for an inspector's case (default:
#          every folder under tests/golden/cases and tests/golden/inspect_cases)
#   -j N   cases run at once (default: the number of cores, at most 2)
# Environment:
#   TABULON_REALFILES      root of the real files (default ../shared/realfiles
#                          beside the repository); cases that need a missing
#                          one are skipped
#   WINE_GOLDEN_PREFIX     use (and keep) this Wine prefix instead of a fresh one
#   WINE_GOLDEN_KEEP=1     keep the work folder (the log of every case and the
#                          files of failed ones) and print where it is
#
# Prints one line per case (ok, skip, FAIL), the diff of every failing case,
# the time of each step and a closing "N passed, N failed, N skipped" line;
# exits 1 when any case failed on Windows, 2 when it could not run at all.
#
# Run as root it installs what is missing with apt-get, non-interactively:
# g++, g++-mingw-w64-x86-64-win32, wine64 and wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2
while getopts "j:" flag; do
  case $flag in
    j) jobs=$OPTARG ;;
    *) sed -n '/^# Usage/,/^# Environment/p' "$0" | sed '$d' >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
cases_dir=$root/tests/golden/cases
inspect_dir=$root/tests/golden/inspect_cases
# case_folder CASE: the folder of a case (inspect/NAME for the inspector's).
case_folder() {
  case $1 in
    inspect/*) echo "$inspect_dir/${1#inspect/}" ;;
    *) echo "$cases_dir/$1" ;;
  esac
}
if [ $# -gt 0 ]; then
  cases=("$@")
else
  mapfile -t cases < <(find "$cases_dir" -mindepth 1 -maxdepth 1 -type d -printf '%f\n' | sort
    find "$inspect_dir" -mindepth 1 -maxdepth 1 -type d -printf 'inspect/%f\n' | sort)
fi
for c in "${cases[@]}"; do
  [ -d "$(case_folder "$c")" ] || { echo "wine-golden: no case folder $c" >&2; exit 2; }
done
# A skip entry for a case that is gone would hide nothing, but says so.
while read -r name _; do
  case $name in '' | '#'*) continue ;; esac
  [ -d "$cases_dir/$name" ] || [ -d "$inspect_dir/$name" ] ||
    echo "wine-golden: warning: tests/golden/windows-skip.txt names $name, which has no case folder"
done <tests/golden/windows-skip.txt
export TABULON_REALFILES=${TABULON_REALFILES:-$root/../shared/realfiles}

. "$root/tools/wine-common.sh"
suite_start=$(now)
timings=()

# --- packages ---------------------------------------------------------------
t=$(now)
install_wine_tools wine-golden cmake make
timings+=("packages: $(elapsed "$t")")

# --- builds -----------------------------------------------------------------
# The sources of a library target, one per line, as its CMakeLists.txt lists
# them (${TABULON_PLATFORM_SOURCE} stands for the platform binding).
target_sources() {  # target_sources CMAKELISTS TARGET
  sed -n "/^add_library($2 /,/)/p" "$1" | sed '1d;s/#.*//;s/)//' | tr -s ' \t' '\n' | sed '/^$/d'
}
build=$root/build/wine-golden
mkdir -p "$build/windows" "$build/linux" "$build/runner"

# compile_all OUTDIR COMPILER FLAGS... -- SOURCES... : one object per source,
# $jobs at a time, each under OUTDIR with its path's slashes as underscores.
compile_one() {  # compile_one OUTDIR COMPILER SOURCE FLAGS...
  local out=$1 cxx=$2 src=$3
  shift 3
  "$cxx" "$@" -c "$src" -o "$out/$(echo "$src" | tr / _).o"
}
export -f compile_one
compile_all() {
  local out=$1 cxx=$2 flags=() s
  shift 2
  while [ "$1" != -- ]; do flags+=("$1"); shift; done
  shift
  for s; do
    [ -f "$s" ] || { echo "wine-golden: source $s is not there" >&2; return 1; }
  done
  printf '%s\n' "$@" |
    xargs -P "$jobs" -I{} bash -c 'compile_one "$@"' _ "$out" "$cxx" {} "${flags[@]}"
}

t=$(now)
mingw_cxx=$(command -v x86_64-w64-mingw32-g++-win32 || command -v x86_64-w64-mingw32-g++)
mapfile -t core < <(target_sources CMakeLists.txt tabulon_core; target_sources CMakeLists.txt tabulon_cli)
mapfile -t builder < <(target_sources tests/builder/CMakeLists.txt tabulon_builder)
[ ${#core[@]} -gt 0 ] && [ ${#builder[@]} -gt 0 ] ||
  { echo "wine-golden: no source list found in the CMakeLists.txt files" >&2; exit 2; }
windows_sources=() linux_sources=()
for s in "${core[@]}"; do
  case $s in
    '${TABULON_PLATFORM_SOURCE}')
      windows_sources+=(fileio/platform_windows.cpp)
      linux_sources+=(fileio/platform_posix.cpp) ;;
    *) windows_sources+=("$s"); linux_sources+=("$s") ;;
  esac
done
windows_sources+=(cli/main.cpp)
linux_sources+=(cli/main.cpp)
runner_sources=(tests/golden/golden_runner.cpp tests/support/textdiff.cpp)
for s in "${builder[@]}"; do runner_sources+=("tests/builder/$s"); done
rm -f "$build"/windows/*.o "$build"/linux/*.o "$build"/runner/*.o
warn=(-std=c++20 -O2 -Wall -Wextra -Wpedantic)
compile_all "$build/windows" "$mingw_cxx" "${warn[@]}" -D__USE_MINGW_ANSI_STDIO=1 -I"$root" \
  -- "${windows_sources[@]}"
# -municode: the program starts at wmain, with the command line in UTF-16.
"$mingw_cxx" "$build"/windows/*.o -municode -static -static-libgcc -static-libstdc++ \
  -o "$build/windows/tabulon.exe"
compile_all "$build/linux" g++ "${warn[@]}" -I"$root" -- "${linux_sources[@]}"
g++ "$build"/linux/*.o -o "$build/linux/tabulon"
compile_all "$build/runner" g++ "${warn[@]}" -I"$root/tests" -- "${runner_sources[@]}"
g++ "$build"/runner/*.o -o "$build/runner/golden_runner"
windows_tool=$build/windows/tabulon.exe
linux_tool=$build/linux/tabulon
runner=$build/runner/golden_runner
timings+=("builds (tabulon.exe, tabulon, golden_runner): $(elapsed "$t")")
# tabulon-inspect needs CLI11 and nlohmann-json: built by CMake, in the
# folders of tools/wine-suite.sh.
windows_inspect="" linux_inspect=""
if [[ " ${cases[*]}" == *" inspect/"* ]]; then
  t=$(now)
  suite=$root/build/wine-suite
  cmake -S . -B "$suite/linux" -DCMAKE_BUILD_TYPE=Release -DTABULON_TESTS=ON >/dev/null
  cmake --build "$suite/linux" -j"$jobs" --target tabulon-inspect >/dev/null
  cmake -S . -B "$suite/windows" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$suite/windows" -j"$jobs" --target tabulon-inspect >/dev/null
  windows_inspect=$suite/windows/tabulon-inspect.exe
  linux_inspect=$suite/linux/tabulon-inspect
  timings+=("builds (tabulon-inspect.exe, tabulon-inspect): $(elapsed "$t")")
fi

# --- Wine -------------------------------------------------------------------
find_wine

work=$(mktemp -d "${TMPDIR:-/tmp}/tabulon-wine-golden-XXXXXX")
case $work in
  *.*)
    # The tool takes the last dot of a path for the start of its extension.
    echo "wine-golden: $work has a dot in its path; set TMPDIR to a folder without one" >&2
    rm -rf "$work"
    exit 2 ;;
esac
cleanup() {
  if [ -n "${WINEPREFIX:-}" ]; then
    "$wineserver" -k 2>/dev/null || true
  fi
  if [ "${WINE_GOLDEN_KEEP:-0}" = 1 ]; then
    echo "wine-golden: work folder kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
# The runners make each case's folder here, so the folders of failed cases go
# with the work folder. Set before Wine starts: a Wine client looks for its
# server under TMPDIR, and one with another TMPDIR starts a server of its own.
mkdir -p "$work/tmp"
export TMPDIR=$work/tmp

t=$(now)
start_wine_prefix "${WINE_GOLDEN_PREFIX:-$work/prefix}"
# The runner hands the case folders over as Z:/<absolute path>.
if [ "$(readlink "$WINEPREFIX/dosdevices/z:")" != / ]; then
  echo "wine-golden: drive Z: of $WINEPREFIX is not the root folder" >&2
  exit 2
fi
timings+=("Wine prefix: $(elapsed "$t")")

# --- cases ------------------------------------------------------------------
# run_case SIDE CASE: runs one case, leaves its output in $work/SIDE/CASE.log
# and its runner status in $work/SIDE/CASE.rc.
run_case() {
  local side=$1 c=$2 rc=0 folder=$cases_dir/$2 wtool=$windows_tool ltool=$linux_tool
  local log=$work/$side/${2//\//_} env=()
  case $c in
    inspect/*) folder=$inspect_dir/${c#inspect/} wtool=$windows_inspect ltool=$linux_inspect ;;
  esac
  # A case's environment file: VAR=VALUE lines for its run (Wine hands them on).
  [ -f "$folder/environment" ] && mapfile -t env < <(grep -v '^#' "$folder/environment")
  if [ "$side" = windows ]; then
    env "${env[@]}" "$runner" --tool "$wtool" --wrapper "$wine" --windows --case "$folder" \
      --realfiles "$TABULON_REALFILES" >"$log.log" 2>&1 || rc=$?
  else
    env "${env[@]}" "$runner" --tool "$ltool" --case "$folder" --realfiles "$TABULON_REALFILES" \
      >"$log.log" 2>&1 || rc=$?
  fi
  echo "$rc" >"$log.rc"
}
export -f run_case
export runner windows_tool linux_tool windows_inspect linux_inspect wine cases_dir inspect_dir work

mkdir -p "$work/windows" "$work/linux"
t=$(now)
printf '%s\n' "${cases[@]}" | xargs -P "$jobs" -I{} bash -c 'run_case linux "$1"' _ {}
timings+=("Linux runs: $(elapsed "$t")")
t=$(now)
printf '%s\n' "${cases[@]}" | xargs -P "$jobs" -I{} bash -c 'run_case windows "$1"' _ {}
timings+=("Windows runs under Wine: $(elapsed "$t")")

# --- summary ----------------------------------------------------------------
passed=0 failed=0 skipped=0 both=0
failures=()
for c in "${cases[@]}"; do
  wrc=$(cat "$work/windows/${c//\//_}.rc")
  lrc=$(cat "$work/linux/${c//\//_}.rc")
  case $wrc in
    0)
      passed=$((passed + 1))
      case $lrc in
        0 | 77) echo "ok   $c" ;;
        *) echo "ok   $c (but it fails on Linux)" ;;
      esac ;;
    77) skipped=$((skipped + 1)); echo "skip $c: $(head -1 "$work/windows/${c//\//_}.log")" ;;
    *)
      failed=$((failed + 1))
      failures+=("$c")
      if [ "$lrc" != 0 ] && [ "$lrc" != 77 ]; then
        both=$((both + 1))
        echo "FAIL $c (fails on Linux too)"
      else
        echo "FAIL $c"
      fi ;;
  esac
done
for c in "${failures[@]}"; do
  f=${c//\//_}
  echo
  echo "=== $c (Windows, runner status $(cat "$work/windows/$f.rc"))"
  head -60 "$work/windows/$f.log"
  if [ "$(cat "$work/linux/$f.rc")" != 0 ]; then
    echo "--- $c on Linux (runner status $(cat "$work/linux/$f.rc"))"
    head -20 "$work/linux/$f.log"
  fi
done
echo
for line in "${timings[@]}"; do echo "time: $line"; done
echo "time: whole run: $(elapsed "$suite_start")"
if [ "$both" -gt 0 ]; then echo "$both of the failing cases fail on Linux too"; fi
if [ "$failed" -gt 0 ] && [ "${WINE_GOLDEN_KEEP:-0}" != 1 ]; then
  echo "(the files of failed cases go with the work folder; WINE_GOLDEN_KEEP=1 keeps them)"
fi
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
