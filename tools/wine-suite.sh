#!/usr/bin/env bash
# Windows suite. Builds tabulon.exe with MinGW-w64 and runs it under Wine:
#
#  1. next to the Linux build on the same inputs (real Btrieve files when a
#     folder of them is there, plus damaged and split copies made here),
#     comparing standard output, standard error and exit status byte for byte
#     (only the lines that carry the system's own error text are masked) and
#     the files each run leaves behind;
#     German, Cyrillic and CJK names of folders and files go through every
#     program the same way (the check, a repair with its undo journal and the
#     undo, the inspector's info and map, the survey in each format);
#  2. the sharing modes: a probe process holds a file open in one mode while
#     tabulon.exe opens it in another; a refused open must name code 32 and
#     the system's text for it and end with status -3 (253 in the shell);
#  3. 64-bit size and positioning of the Windows platform layer on a 6 GiB
#     sparse file;
#  4. the Windows Installer package: its tables, its installation, the
#     programs on the PATH, the scheduled survey's command line, repair,
#     upgrade and removal (tools/wine-msi.sh, which also runs alone).
#
# Usage: tools/wine-suite.sh [REALFILES_DIR]
#   REALFILES_DIR defaults to ../shared/realfiles beside the repository; the
#   files are copied, never touched in place.
# Environment:
#   WINE_SUITE_PREFIX  use (and keep) this Wine prefix instead of a fresh one
#   WINE_SUITE_KEEP=1  keep the work folder and print where it is
#
# Run as root it installs what is missing with apt-get, non-interactively:
# cmake, make, g++, g++-mingw-w64-x86-64-win32, wine64 and wine; for the
# package, mandoc, wixl, msitools and libxml2-utils.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
realfiles=${1:-$root/../shared/realfiles}

. "$root/tools/wine-common.sh"
suite_start=$(now)
timings=()

# --- packages ---------------------------------------------------------------
t=$(now)
install_wine_tools wine-suite cmake make
timings+=("packages: $(elapsed "$t")")

# --- builds -----------------------------------------------------------------
jobs=$(nproc 2>/dev/null || echo 2)
build=build/wine-suite
t=$(now)
# The Linux side also builds the sample generator, for the companion programs'
# runs (it comes with the tests' folder).
cmake -S . -B "$build/linux" -DCMAKE_BUILD_TYPE=Release -DTABULON_TESTS=ON >/dev/null
cmake --build "$build/linux" -j"$jobs" \
  --target tabulon tabulon-inspect tabulon-undo make_sample >/dev/null
cmake -S . -B "$build/windows" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build/windows" -j"$jobs" --target tabulon tabulon-inspect tabulon-undo >/dev/null
mingw_cxx=$(sed -n "s/^TABULON_MINGW_CXX:[A-Z]*=//p" "$build/windows/CMakeCache.txt")
"$mingw_cxx" -std=c++20 -O2 -Wall -Wextra -D__USE_MINGW_ANSI_STDIO=1 -I"$root" \
  tests/windows/platform_probe.cpp fileio/platform_windows.cpp fileio/gather.cpp \
  -static -static-libgcc -static-libstdc++ -o "$build/windows/platform_probe.exe"
linux_tool=$root/$build/linux/tabulon
windows_tool=$root/$build/windows/tabulon.exe
probe=$root/$build/windows/platform_probe.exe
timings+=("builds (Linux and Windows): $(elapsed "$t")")

# --- Wine -------------------------------------------------------------------
find_wine

work=$(mktemp -d "${TMPDIR:-/tmp}/tabulon-wine.XXXXXX")
holder_pid=""
cleanup() {
  [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null || true
  [ -n "${WINEPREFIX:-}" ] && "$wineserver" -k 2>/dev/null || true
  if [ "${WINE_SUITE_KEEP:-0}" = 1 ]; then
    echo "wine-suite: work folder kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

t=$(now)
start_wine_prefix "${WINE_SUITE_PREFIX:-$work/prefix}"
timings+=("Wine prefix: $(elapsed "$t")")

# --- inputs -----------------------------------------------------------------
inputs=$work/inputs
mkdir -p "$inputs/gen"
if [ -d "$realfiles" ]; then
  mkdir -p "$inputs/real"
  cp -R "$realfiles/." "$inputs/real/"
  chmod -R u+w "$inputs/real"
  find "$inputs/real" -type f -name '*.md' -delete
else
  echo "wine-suite: no real files at $realfiles; generated inputs only"
fi

byte() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' \n'; }
u32() {
  local f=$1 o=$2
  echo $(($(byte "$f" "$o") | $(byte "$f" $((o + 1))) << 8 |
    $(byte "$f" $((o + 2))) << 16 | $(byte "$f" $((o + 3))) << 24))
}
put() {  # put FILE OFFSET BYTE... : overwrites bytes in place
  local f=$1 o=$2 s="" b
  shift 2
  for b; do s+=$(printf '\\%03o' $((b & 255))); done
  printf "$s" | dd of="$f" bs=1 seek="$o" conv=notrunc status=none
}
put32() { put "$1" "$2" $(($3)) $(($3 >> 8)) $(($3 >> 16)) $(($3 >> 24)); }

# PAT pair 1 of a file: family (6 = 6.x, 8 = 8.x/9.0, 95 = 9.5), page size.
# Sets pat0, pat1 (offsets of the two copies), slot0 and slotSize.
pat_layout() {
  local family=$1 pageSize=$2 patPageSize
  case $family in
    6) patPageSize=$pageSize; pat0=$((2 * patPageSize)); slot0=8; slotSize=4 ;;
    8) patPageSize=$((2 * pageSize < 2048 ? 2048 : 2 * pageSize))
       pat0=$((4 * patPageSize)); slot0=20; slotSize=6 ;;
    95) patPageSize=$((2 * pageSize < 4096 ? 4096 : 2 * pageSize))
        pat0=$((4 * patPageSize)); slot0=16; slotSize=8 ;;
  esac
  pat1=$((pat0 + patPageSize))
}
slot_page() {  # slot_page FILE COPY_OFFSET SLOT FAMILY
  local o=$(($2 + slot0 + $3 * slotSize)) w
  if [ "$4" = 6 ]; then
    w=$(u32 "$1" "$o")
    echo $(((w & 0xFF) << 16 | (w >> 16)))
  else
    u32 "$1" "$o"
  fi
}
set_slot_page() {  # set_slot_page FILE COPY_OFFSET SLOT FAMILY PAGE
  local o=$(($2 + slot0 + $3 * slotSize))
  if [ "$4" = 6 ]; then
    put "$1" "$o" $(($5 >> 16))
    put "$1" $((o + 2)) $(($5)) $(($5 >> 8))
  else
    put32 "$1" "$o" "$5"
  fi
}

# Damage in the entries of the current copy of pair 1, on the first four
# slots that name a page inside the file: the first two exchange their pages,
# the page of the third loses its page id, the fourth points far past the end.
damage_entries() {  # FILE FAMILY PAGESIZE
  local f=$1 family=$2 pageSize=$3 size cur a b p j headerSize usage slots=()
  pat_layout "$family" "$pageSize"
  case $family in
    6) headerSize=4 usage=4 ;;
    8) headerSize=6 usage=6 ;;
    95) headerSize=8 usage=8 ;;
  esac
  cur=$pat0
  [ "$(u32 "$f" $((pat1 + usage)))" -ge "$(u32 "$f" $((pat0 + usage)))" ] && cur=$pat1
  size=$(stat -c %s "$f")
  for ((j = 0; j < 64 && ${#slots[@]} < 4; j++)); do
    p=$(slot_page "$f" "$cur" "$j" "$family")
    [ "$p" -ge 1 ] && [ $(((p + 1) * pageSize)) -le "$size" ] && slots+=("$j")
  done
  [ ${#slots[@]} -eq 4 ] || { echo "wine-suite: too few pages to damage in $f" >&2; return 1; }
  a=$(slot_page "$f" "$cur" "${slots[0]}" "$family")
  b=$(slot_page "$f" "$cur" "${slots[1]}" "$family")
  set_slot_page "$f" "$cur" "${slots[0]}" "$family" "$b"
  set_slot_page "$f" "$cur" "${slots[1]}" "$family" "$a"
  p=$(slot_page "$f" "$cur" "${slots[2]}" "$family")
  put "$f" $((p * pageSize)) $(for ((j = 0; j < headerSize; j++)); do echo 0; done)
  set_slot_page "$f" "$cur" "${slots[3]}" "$family" $((family == 6 ? 0xFFFF00 : 0x7FFFFF00))
}
# Damage in the PAT page headers of pair 1: copy 0 loses its signature, copy 1
# names another pair.
damage_headers() {  # FILE FAMILY PAGESIZE
  local f=$1 family=$2
  pat_layout "$family" "$3"
  if [ "$family" = 6 ]; then
    put "$f" "$pat0" 0x58 0x58
    put "$f" $((pat1 + 2)) 7 0
  else
    put "$f" $((pat0 + 3)) 0x58 0x58
    put "$f" "$pat1" 7 0
  fi
}
# Splits FILE into the main file and extension files of CHUNK bytes each.
split_set() {  # SRC DEST_MAIN CHUNK
  local src=$1 main=$2 chunk=$3 stem=${2%.*} size k
  size=$(stat -c %s "$src")
  dd if="$src" of="$main" bs="$chunk" count=1 status=none
  for ((k = 1; k * chunk < size; k++)); do
    dd if="$src" of="$stem.^$(printf %.2x "$k")" bs="$chunk" skip="$k" count=1 status=none
  done
}

gen=$inputs/gen
if [ -d "$inputs/real" ]; then
  r=$inputs/real
  for recipe in "GALTELA.DAT wbtrv32/GALTELA.DAT 6 4096" \
    "NOMINAL.DAT Exchequer/BaseDemo/Nominal.Dat 8 1024" \
    "ALLOC.DAT Exchequer/CCDeptCostAllocation/ALLOC.DAT 8 1024" \
    "BTRVONLY.BTR ActianUI/BtrvOnly.btr 95 4096"; do
    set -- $recipe
    [ -f "$r/$2" ] || continue
    mkdir -p "$gen/entries" "$gen/headers" "$gen/both"
    cp "$r/$2" "$gen/entries/$1" && damage_entries "$gen/entries/$1" "$3" "$4"
    cp "$r/$2" "$gen/headers/$1" && damage_headers "$gen/headers/$1" "$3" "$4"
    cp "$r/$2" "$gen/both/$1" && damage_entries "$gen/both/$1" "$3" "$4" &&
      damage_headers "$gen/both/$1" "$3" "$4"
  done
  if [ -f "$gen/entries/NOMINAL.DAT" ]; then
    # A set of a main file and three extension files, with a delta file.
    mkdir -p "$gen/split" "$gen/splitdamaged" "$gen/straddle"
    split_set "$r/Exchequer/BaseDemo/Nominal.Dat" "$gen/split/NOMINAL.DAT" $((64 * 1024))
    head -c 4096 /dev/zero >"$gen/split/NOMINAL.^^^"
    # PAT pair 1 (bytes 8192 to 12287) in the main file, the pages that its
    # damaged entries name in extension files.
    split_set "$gen/both/NOMINAL.DAT" "$gen/splitdamaged/NOMINAL.DAT" $((16 * 1024))
    # Copy 0 of PAT pair 1 runs across the end of the main file.
    split_set "$gen/both/NOMINAL.DAT" "$gen/straddle/NOMINAL.DAT" $((9 * 1024))
  fi
  if [ -f "$r/wbtrv32/WCCACMS2.DAT" ]; then
    mkdir -p "$gen/truncated"
    head -c 1000000 "$r/wbtrv32/WCCACMS2.DAT" >"$gen/truncated/WCCACMS2.DAT"
    head -c 5000 "$r/wbtrv32/WCCACMS2.DAT" >"$gen/truncated/SHORT.DAT"
  fi
fi
mkdir -p "$gen/odd/folder.dat"
: >"$gen/odd/EMPTY.DAT"
head -c 20000 /dev/zero >"$gen/odd/ZEROS.DAT"

# --- comparison runs --------------------------------------------------------
passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok   $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1: $2"; }

# Lines that carry the system's text for an error code differ by design, and
# so does the quoting of the undo hint (single quotes for a POSIX shell,
# double quotes for cmd.exe).
mask() {
  sed -E 's/(Failed to Open File <[^>]*>, Status Code )[0-9]+, .*/\1<code>, <system text>/;
          s/Failed \([0-9]+\), .*/Failed (<code>), <system text>/;
          /^Undo journal: /s/"/'"'"'/g;
          s/^(tabulon-inspect: cannot open [^:]*: ).* \(system error [0-9]+\)$/\1<system text>/;
          s#(Z:)?/[^ ]*/cases/[0-9]+/(linux|windows)/#@SIDE/#g;
          s/duration=[0-9.]+s/duration=@s/' "$1"
}
show_diff() {
  diff <(mask "$1" | cat -A) <(mask "$2" | cat -A) | head -20 | sed 's/^/     /' || true
}

run_side() {  # run_side SIDE DIR OUTNAME ARGS...
  local side=$1 dir=$2 out=$3 rc=0
  shift 3
  if [ "$side" = linux ]; then
    (cd "$dir/linux" && "$linux_tool" "$@") </dev/null >"$dir/$out.linux.out" \
      2>"$dir/$out.linux.err" || rc=$?
  else
    (cd "$dir/windows" && "${wine[@]}" "$windows_tool" "$@") </dev/null \
      >"$dir/$out.windows.out" 2>"$dir/$out.windows.err" || rc=$?
  fi
  echo "$rc" >"$dir/$out.$side.rc"
}

compare_runs() {  # compare_runs NAME DIR OUTNAME [FOLDER]
  # FOLDER: only this folder of each side's files is compared.
  local name=$1 dir=$2 out=$3 sub=${4:+/$4} why=""
  if ! cmp -s <(mask "$dir/$out.linux.out") <(mask "$dir/$out.windows.out"); then
    why="standard output differs"
    show_diff "$dir/$out.linux.out" "$dir/$out.windows.out"
  elif ! cmp -s <(mask "$dir/$out.linux.err") <(mask "$dir/$out.windows.err"); then
    why="standard error differs"
    show_diff "$dir/$out.linux.err" "$dir/$out.windows.err"
  elif ! cmp -s "$dir/$out.linux.rc" "$dir/$out.windows.rc"; then
    why="exit status $(cat "$dir/$out.linux.rc") on Linux, $(cat "$dir/$out.windows.rc") on Windows"
  elif ! diff -r -q "$dir/linux$sub" "$dir/windows$sub" >/dev/null; then
    why="files differ: $(diff -r -q "$dir/linux$sub" "$dir/windows$sub" | head -3 | tr "\n" " " || true)"
  fi
  if [ -n "$why" ]; then fail "$name" "$why"; else pass "$name"; fi
}

# case_run KIND NAME FILE ARGS...
#   FILE is relative to the inputs and is the first argument of the tool (no
#   path argument at all when it is empty); it and the other members of its
#   set (the same name up to the last '.') are copied for each side. KIND
#   check: the files must come out unchanged; KIND fix: a second check-only
#   run follows on the repaired files and is compared too.
case_no=0
case_run() {
  local kind=$1 name=$2 file=$3 dir m
  shift 3
  case_no=$((case_no + 1))
  dir=$work/cases/$case_no
  mkdir -p "$dir/linux" "$dir/windows"
  if [ -z "$file" ]; then
    run_side linux "$dir" 1 "$@"
    run_side windows "$dir" 1 "$@"
    compare_runs "$name" "$dir" 1
    return
  fi
  for side in linux windows; do
    mkdir -p "$dir/$side/$(dirname "$file")"
    if [ -d "$inputs/$file" ]; then
      cp -r "$inputs/$file" "$dir/$side/$(dirname "$file")/"
    else
      for m in "$inputs/${file%.*}".*; do
        [ -e "$m" ] && cp "$m" "$dir/$side/$(dirname "$file")/"
      done
    fi
  done
  run_side linux "$dir" 1 "$file" "$@"
  run_side windows "$dir" 1 "$file" "$@"
  compare_runs "$name" "$dir" 1
  if [ "$kind" = check ]; then
    if [ -e "$inputs/$file" ] && [ ! -d "$inputs/$file" ]; then
      for m in "$inputs/${file%.*}".*; do
        cmp -s "$m" "$dir/windows/$(dirname "$file")/$(basename "$m")" ||
          fail "$name" "check-only run changed $(basename "$m")"
      done
    fi
  else
    run_side linux "$dir" 2 "$file" /R
    run_side windows "$dir" 2 "$file" /R
    compare_runs "$name, second run" "$dir" 2
  fi
}

t=$(now)
case_run check "usage: no arguments" ""
case_run check "usage: /?" "" "/?"
case_run check "usage: ? after a letter" "" "x?" gen/odd/EMPTY.DAT
case_run check "usage: six arguments" "gen/odd/EMPTY.DAT" /R /O /Z /D /U
case_run check "missing file" "gen/odd/NOTHERE.DAT"
case_run check "missing file, /D" "gen/odd/NOTHERE.DAT" /D
case_run check "folder as path" "gen/odd/folder.dat"
case_run check "empty file" "gen/odd/EMPTY.DAT" /D
case_run check "zero-filled file" "gen/odd/ZEROS.DAT"
case_run fix "zero-filled file, /F-1" "gen/odd/ZEROS.DAT" /F-1
if [ -d "$inputs/real" ]; then
  while IFS= read -r f; do
    case_run check "$f" "$f"
    case_run check "$f /D /O /Z" "$f" /D /O /Z
    case_run fix "$f /F-1" "$f" /F-1
  done < <(cd "$inputs" && find real -type f | sort)
fi
while IFS= read -r f; do
  case "$f" in gen/odd/* | *.^*) continue ;; esac
  case_run check "$f /O /Z" "$f" /O /Z
  case_run check "$f /D" "$f" /D
  case_run fix "$f /F-1 /O" "$f" /F-1 /O
  case_run fix "$f /F8 /S1 -r" "$f" /F8 /S1 -r
done < <(cd "$inputs" && find gen -type f | sort)
timings+=("comparison runs: $(elapsed "$t")")

# --- the companion programs -------------------------------------------------
# tabulon-inspect and tabulon-undo on a copy of the sample set on each side:
# the same output, status and files. The undo runs take back a repair made
# with a journal; both sides must end with the sample's bytes.
t=$(now)
sample=$work/sample
# The survey's time: one fixed value for both sides, whatever second each
# run falls in.
export SOURCE_DATE_EPOCH=1767225600
"$build/linux/tools/make_sample" "$sample" >/dev/null
companion_run() {  # companion_run NAME PROGRAM ARGS... (PROGRAM without .exe)
  local name=$1 program=$2 dir rc
  shift 2
  case_no=$((case_no + 1))
  dir=$work/cases/$case_no
  mkdir -p "$dir/linux" "$dir/windows"
  cp "$sample"/ORDERS.* "$dir/linux/"
  cp "$sample"/ORDERS.* "$dir/windows/"
  rc=0
  (cd "$dir/linux" && "$root/$build/linux/$program" "$@") </dev/null >"$dir/1.linux.out" \
    2>"$dir/1.linux.err" || rc=$?
  echo "$rc" >"$dir/1.linux.rc"
  rc=0
  (cd "$dir/windows" && "${wine[@]}" "$root/$build/windows/$program.exe" "$@") </dev/null \
    >"$dir/1.windows.out" 2>"$dir/1.windows.err" || rc=$?
  echo "$rc" >"$dir/1.windows.rc"
  compare_runs "$name" "$dir" 1
}
companion_run "inspect info" tabulon-inspect info ORDERS.DAT
companion_run "inspect --json info" tabulon-inspect --json info ORDERS.DAT
companion_run "inspect pairs" tabulon-inspect pairs ORDERS.DAT
companion_run "inspect --json entries --problems" tabulon-inspect --json entries ORDERS.DAT --problems
companion_run "inspect page" tabulon-inspect page ORDERS.DAT 20
companion_run "inspect map" tabulon-inspect map ORDERS.DAT -o map.svg
companion_run "inspect survey" tabulon-inspect survey .
companion_run "inspect --json survey" tabulon-inspect --json survey .
companion_run "inspect missing file" tabulon-inspect info NOTHERE.DAT
companion_run "inspect plan" tabulon-inspect plan ORDERS.DAT /R
companion_run "inspect --json plan /F8" tabulon-inspect --json plan ORDERS.DAT /F8 /R
# A repair with a journal, then its undo, on each side.
undo_case() {
  local dir=$work/cases/$case_no side
  for side in linux windows; do
    if [ "$side" = linux ]; then
      (cd "$dir/$side" && TABULON_UNDO=run.undo "$root/$build/linux/tabulon" ORDERS.DAT /F-1 /R) \
        </dev/null >/dev/null 2>&1 || true
    else
      (cd "$dir/$side" && WINEDEBUG=-all TABULON_UNDO=run.undo "${wine[@]}" \
        "$root/$build/windows/tabulon.exe" ORDERS.DAT /F-1 /R) </dev/null >/dev/null 2>&1 || true
    fi
  done
}
case_no=$((case_no + 1))
mkdir -p "$work/cases/$case_no/linux" "$work/cases/$case_no/windows"
cp "$sample"/ORDERS.* "$work/cases/$case_no/linux/"
cp "$sample"/ORDERS.* "$work/cases/$case_no/windows/"
undo_case
undo_dir=$work/cases/$case_no
# The journals agree byte for byte but for the main file's identity (its
# device and file number, the last 16 bytes of the identity record's body,
# which starts at offset 17) and that record's CRC: each system numbers its
# files its own way.
same_but_identity() {
  python3 - "$1" "$2" <<'PY'
import struct, sys
def masked(path):
    data = bytearray(open(path, "rb").read())
    if len(data) < 17 or data[12:13] != b"I":
        return bytes(data)
    end = 17 + struct.unpack_from("<I", data, 13)[0]
    data[end - 16:end + 4] = bytes(20)
    return bytes(data)
sys.exit(0 if masked(sys.argv[1]) == masked(sys.argv[2]) else 1)
PY
}
if same_but_identity "$undo_dir/linux/run.undo" "$undo_dir/windows/run.undo"; then
  pass "undo journal of a repair"
else
  fail "undo journal of a repair" "the journals differ beyond the main file's identity"
fi
for side in linux windows; do
  if [ "$side" = linux ]; then
    (cd "$undo_dir/linux" && "$root/$build/linux/tabulon-undo" run.undo) </dev/null \
      >"$undo_dir/undo.linux.out" 2>&1 || true
  else
    (cd "$undo_dir/windows" && "${wine[@]}" "$root/$build/windows/tabulon-undo.exe" run.undo) \
      </dev/null >"$undo_dir/undo.windows.out" 2>&1 || true
  fi
  if cmp -s "$undo_dir/$side/ORDERS.DAT" "$sample/ORDERS.DAT" &&
    cmp -s "$undo_dir/$side/ORDERS.^01" "$sample/ORDERS.^01"; then
    pass "tabulon-undo gives the sample back ($side)"
  else
    fail "tabulon-undo gives the sample back ($side)" "$(head -3 "$undo_dir/undo.$side.out" | tr '\n' ' ')"
  fi
done
# The set's resolved path is each system's own.
sed -i 's|^File set: .*|File set: (resolved path)|' "$undo_dir/undo.linux.out" "$undo_dir/undo.windows.out"
if cmp -s "$undo_dir/undo.linux.out" "$undo_dir/undo.windows.out"; then
  pass "tabulon-undo output"
else
  fail "tabulon-undo output" "differs"
  show_diff "$undo_dir/undo.linux.out" "$undo_dir/undo.windows.out"
fi
timings+=("companion programs: $(elapsed "$t")")

# --- names in any language --------------------------------------------------
# The sample set under German, Cyrillic and CJK names of folders and files:
# the check, a repair with an undo journal of such a name and the undo, the
# inspector's info and map, the survey in each format, with an output file
# and with an absolute path (Z:\... on Windows). Wine reads Unix names in the
# locale's encoding: both sides run in a UTF-8 locale.
t=$(now)
export LC_ALL=C.UTF-8
name_family=(German Cyrillic CJK)
name_folder=("Müller GmbH/Bücher" "Данные/Склад Москва" "データ 2024/倉庫")
name_stem=("Bestände" "Заказы" "注文一覧")
name_output=("Übersicht" "Сводка" "概要")  # of the journal, the map and the survey
names=$work/names
for i in "${!name_family[@]}"; do
  mkdir -p "$names/${name_folder[i]}"
  for m in "$sample"/ORDERS.*; do cp "$m" "$names/${name_folder[i]}/${name_stem[i]}.${m##*.}"; done
done

# names_side SIDE DIR OUTNAME PROGRAM ARGS...: PROGRAM (without .exe) in
# DIR/SIDE/files. An argument @ABS@PATH is PATH's absolute form on that side,
# Z:\... with backslashes on Windows, which the Windows output gets back in
# its Linux form.
names_side() {
  local side=$1 dir=$2 out=$3 program=$4 rc=0 a args=() swaps=()
  shift 4
  for a; do
    if [[ $a == @ABS@* ]]; then
      a=$dir/$side/files/${a#@ABS@}
      [ "$side" = windows ] && swaps=("Z:${a//\//\\}" "${a/\/windows\/files\//\/linux\/files\/}") &&
        a=Z:${a//\//\\}
    fi
    args+=("$a")
  done
  if [ "$side" = linux ]; then
    (cd "$dir/linux/files" && "$root/$build/linux/$program" "${args[@]}") </dev/null \
      >"$dir/$out.linux.out" 2>"$dir/$out.linux.err" || rc=$?
  else
    (cd "$dir/windows/files" && "${wine[@]}" "$root/$build/windows/$program.exe" "${args[@]}") \
      </dev/null >"$dir/$out.windows.out" 2>"$dir/$out.windows.err" || rc=$?
    [ ${#swaps[@]} -eq 0 ] || perl -0777 -pi -e 'BEGIN { ($o, $n) = splice @ARGV, 0, 2 } s/\Q$o\E/$n/g' \
      "${swaps[@]}" "$dir/$out.windows.out" "$dir/$out.windows.err"
  fi
  echo "$rc" >"$dir/$out.$side.rc"
}

# names_case NAME PROGRAM ARGS...: a run on each side in a fresh copy of the
# names' folders (the case's folder in $dir).
names_case() {
  local name=$1 program=$2 side
  shift 2
  case_no=$((case_no + 1))
  dir=$work/cases/$case_no
  for side in linux windows; do
    mkdir -p "$dir/$side"
    cp -R "$names" "$dir/$side/files"
    names_side "$side" "$dir" 1 "$program" "$@"
  done
  compare_runs "$name" "$dir" 1 files
}

# names_repair NAME MAIN JOURNAL: the repair with an undo journal, a second
# check, the two journals, and their undo, which gives the sample back.
names_repair() {
  local name=$1 main=$2 journal=$3 side
  TABULON_UNDO=../$journal names_case "$name" tabulon "$main" /F-1 /R
  for side in linux windows; do names_side "$side" "$dir" 2 tabulon "$main" /R; done
  compare_runs "$name, second run" "$dir" 2 files
  if same_but_identity "$dir/linux/$journal" "$dir/windows/$journal"; then
    pass "$name, the journal"
  else
    fail "$name, the journal" "missing, or the journals differ beyond the main file's identity"
  fi
  for side in linux windows; do names_side "$side" "$dir" 3 tabulon-undo "../$journal"; done
  sed -i 's|^File set: .*|File set: (resolved path)|' "$dir"/3.*.out
  compare_runs "$name, undo" "$dir" 3 files
  for side in linux windows; do
    cmp -s "$dir/$side/files/$main" "$sample/ORDERS.DAT" &&
      cmp -s "$dir/$side/files/${main%.DAT}.^01" "$sample/ORDERS.^01" &&
      pass "$name, undo gives the sample back ($side)" ||
      fail "$name, undo gives the sample back ($side)" "$(head -3 "$dir/3.$side.err" | tr '\n' ' ')"
  done
}

name_counts=()
for i in "${!name_family[@]}" all; do
  before=$((passed + failed)) passed_before=$passed
  if [ "$i" = all ]; then
    f="all three" tops=("${name_folder[@]%%/*}")
    names_case "$f: survey of the three folders" tabulon-inspect survey "${tops[@]}"
    names_case "$f: --json survey of the three folders" tabulon-inspect --json survey "${tops[@]}"
    names_case "$f: survey of their parent" tabulon-inspect survey --format prometheus .
  else
    f="${name_family[i]} names" top=${name_folder[i]%%/*} out=${name_output[i]}
    main=${name_folder[i]}/${name_stem[i]}.DAT
    names_case "$f: check" tabulon "$main"
    names_case "$f: check, absolute path" tabulon "@ABS@$main" /R
    names_repair "$f: repair with an undo journal" "$main" "$out.undo"
    names_case "$f: inspect info" tabulon-inspect info "$main"
    names_case "$f: inspect --json info" tabulon-inspect --json info "$main"
    names_case "$f: inspect map" tabulon-inspect map "$main" -o "${name_folder[i]}/$out.svg"
    names_case "$f: survey" tabulon-inspect survey "$top"
    names_case "$f: survey, absolute path" tabulon-inspect survey "@ABS@$top"
    names_case "$f: --json survey" tabulon-inspect --json survey "$top"
    names_case "$f: survey --format prometheus" tabulon-inspect survey --format prometheus "$top"
    names_case "$f: survey --format nagios" tabulon-inspect survey --format nagios "$top"
    names_case "$f: survey -o" tabulon-inspect survey --format prometheus -o "$out.prom" "$top"
  fi
  name_counts+=("$f: $((passed + failed - before)) run, $((passed - passed_before)) passed")
done
# On a console (through a pseudo-terminal) the names show as themselves
# whatever its code page. Wine draws the screen with cursor moves for spaces,
# so the comparison leaves out escape sequences and spaces.
main=${name_folder[1]}/${name_stem[1]}.DAT
seen=$(cd "$names" && W=$wine T=$windows_tool M=$main script -qc '"$W" "$T" "$M" /R' /dev/null \
  </dev/null | sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g' | tr -d ' \r' || true)
if grep -qF "Scanningfile${main// /}forPAT" <<<"$seen"; then
  pass "Cyrillic names on a console"
else
  fail "Cyrillic names on a console" "$(head -3 <<<"$seen")"
fi
unset LC_ALL
timings+=("names in any language: $(elapsed "$t")")

# --- sharing modes ----------------------------------------------------------
share_file=""
for c in real/Exchequer/Common/GROUPS.DAT gen/split/NOMINAL.DAT gen/odd/ZEROS.DAT; do
  [ -f "$inputs/$c" ] && share_file=$c && break
done
t=$(now)
text32=$work/text32
"${wine[@]}" "$probe" text 32 >"$text32"
if [ ! -s "$text32" ] || grep -q '^Unknown error' "$text32"; then
  fail "system text for code 32" "none: $(cat -A "$text32")"
else
  pass "system text for code 32"
fi
printf 'Unknown error\r\n' >"$work/unknown.expected"
"${wine[@]}" "$probe" text 0x2FFFFFFF >"$work/unknown"
if cmp -s "$work/unknown" "$work/unknown.expected"; then
  pass "code without system text"
else
  fail "code without system text" "$(cat -A "$work/unknown")"
fi

# hold_run NAME HOLDMODE HOLDFILE OPENFILE TOOLARGS... : starts the probe
# holding HOLDFILE, runs tabulon.exe on OPENFILE, then releases the hold.
# Leaves $dir/out, $dir/err and $dir/rc.
share_no=0
hold_run() {
  local name=$1 mode=$2 held=$3 file=$4 pid rc=0 i
  shift 4
  share_no=$((share_no + 1))
  dir=$work/share/$share_no
  mkdir -p "$dir/files"
  cp "$inputs/$(dirname "$file")/$(basename "${file%.*}")".* "$dir/files/"
  (cd "$dir/files" && exec "${wine[@]}" "$probe" hold "$mode" "$held" ../release 120) \
    </dev/null >"$dir/hold" 2>&1 &
  pid=$!
  holder_pid=$pid
  for ((i = 0; i < 600; i++)); do
    [ -s "$dir/hold" ] && break
    sleep 0.05
  done
  if ! grep -qx held "$dir/hold"; then
    fail "$name" "the probe did not hold $held: $(cat "$dir/hold")"
    touch "$dir/release"
    wait "$pid" || true
    holder_pid=""
    return 1
  fi
  (cd "$dir/files" && "${wine[@]}" "$windows_tool" "$(basename "$file")" "$@") </dev/null \
    >"$dir/out" 2>"$dir/err" || rc=$?
  echo "$rc" >"$dir/rc"
  touch "$dir/release"
  wait "$pid" || fail "$name" "the probe ended with status $? ($(cat "$dir/hold"))"
  holder_pid=""
  return 0
}

if [ -n "$share_file" ]; then
  name_of=$(basename "$share_file")
  mode_option=("" /F1 /U)
  mode_name=(ExclusiveRead Repair Unprotected)
  for held in 0 1 2 7; do
    for opener in 0 1 2; do
      hn=${mode_name[held]:-"mode $held"}
      label="sharing: $hn holder, ${mode_name[opener]} opener"
      args=(/R)
      [ -n "${mode_option[opener]}" ] && args+=("${mode_option[opener]}")
      hold_run "$label" "$held" "$name_of" "$share_file" "${args[@]}" || continue
      allowed=0
      case "$held$opener" in 12 | 21 | 22) allowed=1 ;; esac
      if [ $allowed = 1 ]; then
        # Allowed: the run is the same as on Linux without any holder.
        mkdir -p "$dir/linux"
        cp "$inputs/$(dirname "$share_file")/$(basename "${share_file%.*}")".* "$dir/linux/"
        (cd "$dir/linux" && "$linux_tool" "$name_of" "${args[@]}") </dev/null \
          >"$dir/linux.out" 2>"$dir/linux.err" || true
        if [ "$(cat "$dir/rc")" != 0 ]; then
          fail "$label" "refused (status $(cat "$dir/rc")): $(head -c 300 "$dir/err")"
        elif ! cmp -s "$dir/out" "$dir/linux.out" || ! cmp -s "$dir/err" "$dir/linux.err"; then
          fail "$label" "output differs from the Linux run"
          show_diff "$dir/linux.err" "$dir/err"
        else
          pass "$label"
        fi
      else
        {
          [ "$opener" = 1 ] && printf 'I sure hope you had a backup....\n'
          printf 'Failed to Open File <%s>, Status Code 32, ' "$name_of"
          cat "$text32"
          printf 'Unable to open files. Make sure nobody is using them before using Tabulon!\n'
          printf "While you're at it, please make an extra backup copy, too!\n"
        } >"$dir/err.expected"
        printf 'Scanning file %s for PAT inconsistencies...\n\n' "$name_of" >"$dir/out.expected"
        if [ "$(cat "$dir/rc")" != 253 ]; then
          fail "$label" "exit status $(cat "$dir/rc"), not 253"
        elif ! cmp -s "$dir/err" "$dir/err.expected"; then
          fail "$label" "standard error is not the refusal"
          diff <(cat -A "$dir/err.expected") <(cat -A "$dir/err") | head -10 | sed 's/^/     /' || true
        elif ! cmp -s "$dir/out" "$dir/out.expected"; then
          fail "$label" "standard output: $(cat -A "$dir/out" | head -3)"
        else
          pass "$label"
        fi
      fi
    done
  done
fi

# A held extension file ends the set before it; a held delta file is skipped.
if [ -f "$inputs/gen/split/NOMINAL.DAT" ]; then
  label="sharing: held extension file ends the set"
  if hold_run "$label" 0 NOMINAL.^02 gen/split/NOMINAL.DAT /R; then
    line="Failed to Open File <NOMINAL.^02>, Status Code 32, $(cat "$text32")"
    if [ "$(cat "$dir/rc")" != 0 ]; then
      fail "$label" "exit status $(cat "$dir/rc")"
    elif ! grep -qxF "$line" "$dir/err"; then
      fail "$label" "no refusal line for NOMINAL.^02: $(head -c 300 "$dir/err" | cat -A)"
    elif grep -q 'Failed to Open File <NOMINAL.\^03>' "$dir/err"; then
      fail "$label" "the set went on past the held extension file"
    else
      pass "$label"
    fi
  fi
  label="sharing: held delta file is left out silently"
  if hold_run "$label" 0 'NOMINAL.^^^' gen/split/NOMINAL.DAT /R; then
    if [ "$(cat "$dir/rc")" != 0 ]; then
      fail "$label" "exit status $(cat "$dir/rc")"
    elif grep -q -e 'Delta File' -e 'Failed' "$dir/err"; then
      fail "$label" "$(grep -e 'Delta File' -e 'Failed' "$dir/err" | cat -A)"
    else
      pass "$label"
    fi
  fi
fi
timings+=("sharing modes: $(elapsed "$t")")

# --- 64-bit positioning -----------------------------------------------------
t=$(now)
big=$work/big/BIG.DAT
mkdir -p "$work/big"
truncate -s 6G "$big"
io_out=$( (cd "$work/big" && "${wine[@]}" "$probe" io BIG.DAT) </dev/null 2>&1) || true
if [ "$io_out" != "io ok" ]; then
  fail "64-bit size and positioning" "$io_out"
elif [ "$(od -An -c -j $((5 * 1024 * 1024 * 1024 + 3)) -N4 "$big" | tr -d ' ')" != FAR5 ] ||
  [ "$(od -An -c -j $((4 * 1024 * 1024 * 1024 - 6)) -N5 "$big" | tr -d ' ')" != NEAR4 ]; then
  fail "64-bit size and positioning" "the bytes did not land at 5 GiB + 3 and 4 GiB - 6"
else
  pass "64-bit size and positioning"
fi
rm -f "$big"
timings+=("64-bit positioning: $(elapsed "$t")")

# --- the Windows Installer package -------------------------------------------
t=$(now)
. "$root/tools/wine-msi.sh"
msi_suite
timings+=("MSI package: $(elapsed "$t")")

echo
for line in "${name_counts[@]}"; do echo "names: $line"; done
for line in "${timings[@]}"; do echo "time: $line"; done
echo "time: whole suite: $(elapsed "$suite_start")"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
