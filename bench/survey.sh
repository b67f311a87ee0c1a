#!/usr/bin/env bash
# Times tabulon-inspect's survey and report of a folder of many small
# generated files against the single checks of the same files (tabulon FILE
# /R, one after the other), in processor time (user plus system), with a warm
# page cache.
#
#   bench/survey.sh [DIR]
#
# DIR (or $BENCH_DIR, default ${TMPDIR:-/tmp}/tabulon-bench-survey) receives
# the Release build and the files. Settings:
#   BENCH_FILES      files, default 1000 (every tenth with 5 % damage)
#   BENCH_FILE_SIZE  size of each, default 256K
#   BENCH_JOBS       the survey's -j, default 2
#   BENCH_RUNS       rounds, default 3 (the medians are shown)
#   BENCH_KEEP=1     keep the generated files afterwards
#   BENCH_BUILD      a Release build folder to use instead of DIR/build
# The goals: the survey at most 1.2 times the singles' processor time, the
# report at most 2 times the survey's.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-${BENCH_DIR:-${TMPDIR:-/tmp}/tabulon-bench-survey}}
files=${BENCH_FILES:-1000}
size=${BENCH_FILE_SIZE:-256K}
jobs=${BENCH_JOBS:-2}
runs=${BENCH_RUNS:-3}

mkdir -p "$dir"
build=${BENCH_BUILD:-$dir/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTABULON_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target tabulon tabulon-inspect genfile measure >/dev/null
tabulon=$build/tabulon
inspector=$build/tabulon-inspect
genfile=$build/bench/genfile
measure=$build/bench/measure

data=$dir/files
rm -rf "$data"
mkdir -p "$data"
for ((i = 0; i < files; i++)); do
    sub=$data/d$((i / 100))
    mkdir -p "$sub"
    args=(--version "$( ((i % 2)) && echo 0950 || echo 0800)" --seed "$i")
    ((i % 10 == 0)) && args+=(--damage 5)
    "$genfile" "$sub/F$i.DAT" "$size" "${args[@]}" >/dev/null
done
cat "$data"/*/* >/dev/null

# median FILE COLUMN: the median of a column of measure's result lines.
median() {
    awk -v c="$2" '{ print $c }' "$1" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
singles=$dir/singles.txt survey=$dir/survey.txt report=$dir/report.txt
rm -f "$singles" "$survey" "$report"
for ((r = 0; r < runs; r++)); do
    one=$dir/one.txt
    rm -f "$one"
    for f in "$data"/*/*.DAT; do "$measure" "$one" "$tabulon" "$f" /R >/dev/null 2>&1 || true; done
    awk '{ w += $1; c += $4 } END { print w, 0, 0, c }' "$one" >>"$singles"
    "$measure" "$survey" "$inspector" survey -j "$jobs" "$data" >/dev/null 2>&1 || true
    "$measure" "$report" "$inspector" report -j "$jobs" "$data" -o "$dir/report.html" \
        >/dev/null 2>&1 || true
done
s_cpu=$(median "$singles" 4) s_wall=$(median "$singles" 1)
v_cpu=$(median "$survey" 4) v_wall=$(median "$survey" 1)
p_cpu=$(median "$report" 4) p_wall=$(median "$report" 1)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "$files files of $size, -j $jobs, median of $runs rounds (seconds)"
echo "single checks (tabulon FILE /R):  cpu $s_cpu  wall $s_wall"
echo "survey -j $jobs:                      cpu $v_cpu  wall $v_wall  cpu/singles $(ratio "$v_cpu" "$s_cpu") (goal <= 1.2)"
echo "report -j $jobs:                      cpu $p_cpu  wall $p_wall  cpu/survey $(ratio "$p_cpu" "$v_cpu") (goal <= 2)"
echo "report: $(stat -c %s "$dir/report.html") bytes"
[[ ${BENCH_KEEP:-0} == 1 ]] || rm -rf "$data"
