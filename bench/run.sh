#!/usr/bin/env bash
# Times a clean check and a best-page repair of large generated files against
# `cat FILE > /dev/null`, with a warm page cache, and reports peak RSS.
#
#   bench/run.sh [DIR]
#
# DIR (or $BENCH_DIR, default ${TMPDIR:-/tmp}/tabulon-bench) receives the
# Release build and the files. Settings:
#   BENCH_SIZES    file sizes, default "1G 4G"
#   BENCH_VERSION  0800 or 0950, default 0800
#   BENCH_RUNS     rounds of cat / clean check / repair, default 5
#   BENCH_VARIANTS files of each size, default "plain":
#                    plain           the file as genfile writes it
#                    compressed4096  page compression, 4096-byte slots (0950)
#                    compressed2048  page compression, 2048-byte slots (0950)
#                    cut1000         split after the first two bytes of page
#                                    1000: the preload stops there
#   BENCH_KEEP=1   keep the generated files afterwards
#   BENCH_UNDO=1   also time the repair with every fix bit (/F-1) with an undo
#                  journal (TABULON_UNDO, a file in DIR) against the same
#                  repair without one, and check that tabulon-undo gives the
#                  damaged file back
#   BENCH_INSPECT=1  also time tabulon-inspect: `map` of the clean file
#                  against its check, and `survey` of a folder holding the
#                  clean and the damaged file against the sum of their checks
#                  and `advise` of the damaged file against its check
#   BENCH_INSPECT_BASELINE  another tabulon-inspect program (an earlier build)
#                  whose advise is timed in the same rounds (with BENCH_INSPECT)
#   BENCH_BASELINE another tabulon program (an earlier build) whose clean
#                  check is timed in the same rounds, for figures before and
#                  after a change
#
# Each round also times `floor` (bench/floor.cpp): the file mapped in aligned
# 4 MiB windows and one byte of every page read, the least a check can do.
# Before the rounds the files are dropped from the page cache
# (posix_fadvise DONTNEED) and read once with cat, so that every run finds
# the cache in the same state; `floor --state` reports that state before and
# after the rounds. Ratios are medians of the ratios of the runs of one round.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-${BENCH_DIR:-${TMPDIR:-/tmp}/tabulon-bench}}
sizes=${BENCH_SIZES:-1G 4G}
version=${BENCH_VERSION:-0800}
runs=${BENCH_RUNS:-5}
variants=${BENCH_VARIANTS:-plain}
damage=10

mkdir -p "$dir"
build=$dir/build
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTABULON_TESTS=OFF >/dev/null
targets="tabulon genfile measure floor"
[[ ${BENCH_UNDO:-0} == 1 ]] && targets="$targets tabulon-undo"
inspect_on=${BENCH_INSPECT:-0}
[[ $inspect_on == 1 ]] && targets="$targets tabulon-inspect"
cmake --build "$build" -j2 --target $targets >/dev/null
tabulon=$build/tabulon
inspector=$build/tabulon-inspect
genfile=$build/bench/genfile
measure=$build/bench/measure
floor=$build/bench/floor
baseline=${BENCH_BASELINE:-}
if [[ -n $baseline && ! -x $baseline ]]; then
    echo "run.sh: BENCH_BASELINE $baseline is no program" >&2
    exit 1
fi

bytes() {
    local n=${1%[KMG]} unit=${1##*[0-9]}
    case $unit in
        K) echo $((n << 10)) ;; M) echo $((n << 20)) ;; G) echo $((n << 30)) ;; *) echo "$n" ;;
    esac
}

need=0
for s in $sizes; do need=$((need + 2 * $(bytes "$s"))); done  # one variant at a time
avail=$(($(df -Pk "$dir" | awk 'NR == 2 { print $4 }') * 1024))
if ((avail < need + (1 << 30))); then
    echo "run.sh: $dir has $((avail >> 20)) MiB free, the files need $((need >> 20)) MiB and 1 GiB to spare" >&2
    exit 1
fi

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# colmedian FILE COLUMN: the median of one column of a file of results.
colmedian() { awk -v c="$2" '{ print $c }' "$1" | median; }
# pairmedian A B COLUMN: the median of the ratios A / B of the runs of one round.
pairmedian() {
    paste -d ' ' "$1" "$2" | awk -v c="$3" '$(c + 5) > 0 { print $c / $(c + 5) }' | median |
        awk '{ printf "%.2f", $1 }'
}

# One measured run: result file, then the command; its output is discarded.
run() {
    local out=$1
    shift
    "$measure" "$out" "$@" >/dev/null 2>&1
    local status
    status=$(tail -n 1 "$out" | awk '{ print $3 }')
    if [[ $status != 0 ]]; then
        echo "run.sh: '$*' exited with $status" >&2
        exit 1
    fi
}

echo "machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)," \
    "$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), kernel $(uname -r)"
echo "files: version $version, 4096-byte pages, $damage % of the entries damaged for the repair; medians of $runs rounds"
echo
header() {
    printf '%-5s %-15s %-4s %9s %9s %9s %9s %11s %11s %12s\n' size variant time cat_s floor_s \
        check_s repair_s check/cat check/floor repair/check
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

for s in $sizes; do
for variant in $variants; do
    clean=$dir/clean-$s.dat
    damaged=$dir/damaged-$s.dat
    journal=$dir/damaged-$s.undo
    options=(--version "$version")
    expected=0  # problems of the clean file
    case $variant in
        plain) ;;
        compressed4096) options=(--version 0950 --compressed 4096) ;;
        compressed2048) options=(--version 0950 --compressed 2048) ;;
        cut1000) options+=(--cut-page 1000); expected=1 ;;  # page 1000 itself
        *) echo "run.sh: unknown variant $variant" >&2; exit 2 ;;
    esac
    "$genfile" "$clean" "$s" "${options[@]}" >/dev/null
    "$genfile" "$damaged" "$s" "${options[@]}" --damage "$damage" >/dev/null
    members() { ls "$1" "${1%.dat}".^01 2>/dev/null; }
    if ! "$tabulon" "$clean" /R 2>/dev/null | grep -q "^Problems Found (Total)      : $expected\$"; then
        echo "run.sh: the clean file $clean does not check clean" >&2
        exit 1
    fi
    sync $(members "$clean") $(members "$damaged")
    "$floor" --evict $(members "$clean") $(members "$damaged")
    cat $(members "$clean") $(members "$damaged") >/dev/null
    echo "before the rounds: $("$floor" --state $(members "$clean") | tail -n +2 | tr '\n' ' ')"

    results=$dir/results-$s
    rm -f "$results".*
    for ((r = 0; r < runs; ++r)); do
        run "$results.cat" cat $(members "$clean")
        run "$results.floor" "$floor" $(members "$clean")
        run "$results.check" "$tabulon" "$clean" /R
        if [[ -n $baseline ]]; then run "$results.baseline" "$baseline" "$clean" /R; fi
        # Undo the previous repair and get its dirty pages to the disk, so that
        # the repair's own flush has only its own writes to wait for.
        "$genfile" "$damaged" "$s" "${options[@]}" --damage "$damage" --pat-only >/dev/null
        sync $(members "$damaged")
        cat $(members "$damaged") >/dev/null
        run "$results.repair" "$tabulon" "$damaged" /R /F8
        if [[ ${BENCH_UNDO:-0} == 1 ]]; then
            # /F-1 without and with the journal, each on the damaged file as
            # generated.
            for mode in fix fixundo; do
                "$genfile" "$damaged" "$s" "${options[@]}" --damage "$damage" --pat-only >/dev/null
                sync $(members "$damaged")
                cat $(members "$damaged") >/dev/null
                rm -f "$journal"
                if [[ $mode == fix ]]; then
                    run "$results.fix" "$tabulon" "$damaged" /R /F-1
                else
                    run "$results.fixundo" env TABULON_UNDO="$journal" "$tabulon" "$damaged" /R /F-1
                fi
            done
        fi
    done

    if [[ ${BENCH_UNDO:-0} == 1 ]]; then
        # The journal of the last round takes the repair back.
        "$build/tabulon-undo" "$journal" --set "$damaged" >/dev/null
        if "$tabulon" "$damaged" /R 2>/dev/null | grep -q "^Problems Found (Total)      : $expected\$"; then
            echo "run.sh: tabulon-undo did not give the damaged file back" >&2
            exit 1
        fi
        "$tabulon" "$damaged" /R /F8 >/dev/null 2>&1
        rm -f "$journal"
    fi

    # The last repair must have mended every damaged entry.
    if ! "$tabulon" "$damaged" /R 2>/dev/null | grep -q "^Problems Found (Total)      : $expected\$"; then
        echo "run.sh: the repaired file $damaged does not check clean" >&2
        exit 1
    fi

    echo "after the rounds: $("$floor" --state $(members "$clean") | tail -n +2 | tr '\n' ' ')"
    # Column 1 is wall-clock time, column 4 user plus system time.
    header
    for col in 1 4; do
        what=wall
        [[ $col == 4 ]] && what=cpu
        cat_s=$(colmedian "$results.cat" "$col")
        floor_s=$(colmedian "$results.floor" "$col")
        check_s=$(colmedian "$results.check" "$col")
        repair_s=$(colmedian "$results.repair" "$col")
        printf '%-5s %-15s %-4s %9.3f %9.3f %9.3f %9.3f %11s %11s %12s\n' "$s" "$variant" "$what" \
            "$cat_s" "$floor_s" "$check_s" "$repair_s" \
            "$(pairmedian "$results.check" "$results.cat" "$col")" \
            "$(pairmedian "$results.check" "$results.floor" "$col")" \
            "$(pairmedian "$results.repair" "$results.check" "$col")"
        if [[ -n $baseline ]]; then
            printf '%-5s %-15s %-4s baseline check %.3f s, baseline / floor %s, check / baseline %s\n' \
                "$s" "$variant" "$what" "$(colmedian "$results.baseline" "$col")" \
                "$(pairmedian "$results.baseline" "$results.floor" "$col")" \
                "$(pairmedian "$results.check" "$results.baseline" "$col")"
        fi
    done
    if [[ ${BENCH_UNDO:-0} == 1 ]]; then
        for col in 1 4; do
            what=wall
            [[ $col == 4 ]] && what=cpu
            fix_s=$(colmedian "$results.fix" "$col")
            undo_s=$(colmedian "$results.fixundo" "$col")
            printf '%-5s %-4s /F-1 %.3f s, /F-1 with undo journal %.3f s, journal / none %s\n' \
                "$s" "$what" "$fix_s" "$undo_s" "$(ratio "$undo_s" "$fix_s")"
        done
    fi
    check_rss=$(awk '$2 > m { m = $2 } END { print m }' "$results.check")
    repair_rss=$(awk '$2 > m { m = $2 } END { print m }' "$results.repair")
    unit=4096
    [[ $variant == compressed2048 ]] && unit=2048
    pages=$(($(bytes "$s") / unit))
    limit_kb=$(((24 * pages + (16 << 20)) / 1024))
    echo "$s $variant peak RSS: check $check_rss KB, repair $repair_rss KB; limit 24 B x $pages pages + 16 MiB = $limit_kb KB"
    if [[ -n $baseline ]]; then
        echo "$s $variant peak RSS of the baseline check: $(awk '$2 > m { m = $2 } END { print m }' "$results.baseline") KB"
    fi
    echo "$s $variant major faults (all rounds): cat $(awk '{ s += $5 } END { print s }' "$results.cat")," \
        "floor $(awk '{ s += $5 } END { print s }' "$results.floor")," \
        "check $(awk '{ s += $5 } END { print s }' "$results.check")," \
        "repair $(awk '{ s += $5 } END { print s }' "$results.repair")"
    echo

    if [[ $inspect_on == 1 ]]; then
        # The damaged file as generated again (the repairs above mended it),
        # and a folder that holds both files for the survey.
        "$genfile" "$damaged" "$s" "${options[@]}" --damage "$damage" --pat-only >/dev/null
        sync $(members "$damaged")
        folder=$dir/survey-$s
        rm -rf "$folder" && mkdir -p "$folder"
        ln "$clean" "$folder/clean.dat"
        ln "$damaged" "$folder/damaged.dat"
        cat $(members "$clean") $(members "$damaged") >/dev/null
        rm -f "$results".map "$results".dcheck "$results".survey "$results".check2
        rm -f "$results".advise "$results".advise0
        inspect_baseline=${BENCH_INSPECT_BASELINE:-}
        for ((r = 0; r < runs; ++r)); do
            run "$results.check2" "$tabulon" "$clean" /R
            run "$results.map" "$inspector" map "$clean" -o "$dir/map-$s.svg"
            run "$results.dcheck" "$tabulon" "$damaged" /R
            "$measure" "$results.survey" "$inspector" survey "$folder" >/dev/null 2>&1 || true
            # advise exits with 1 for a damaged file.
            "$measure" "$results.advise" "$inspector" advise "$damaged" >/dev/null 2>&1 || true
            if [[ -n $inspect_baseline ]]; then
                "$measure" "$results.advise0" "$inspect_baseline" advise "$damaged" >/dev/null 2>&1 || true
            fi
        done
        printf '%-5s %-4s %9s %9s %9s %9s %10s %14s\n' size time check_s map_s dcheck_s survey_s map/check 'survey/(c+d)'
        for col in 1 4; do
            what=wall
            [[ $col == 4 ]] && what=cpu
            c_s=$(colmedian "$results.check2" "$col")
            m_s=$(colmedian "$results.map" "$col")
            d_s=$(colmedian "$results.dcheck" "$col")
            v_s=$(colmedian "$results.survey" "$col")
            printf '%-5s %-4s %9.3f %9.3f %9.3f %9.3f %10s %14s\n' "$s" "$what" "$c_s" "$m_s" "$d_s" "$v_s" \
                "$(ratio "$m_s" "$c_s")" "$(awk -v v="$v_s" -v a="$c_s" -v b="$d_s" 'BEGIN { printf "%.2f", v / (a + b) }')"
        done
        for col in 1 4; do
            what=wall
            [[ $col == 4 ]] && what=cpu
            printf '%-5s %-4s advise %.3f s, check of the damaged file %.3f s, advise / check %s\n' \
                "$s" "$what" "$(colmedian "$results.advise" "$col")" \
                "$(colmedian "$results.dcheck" "$col")" \
                "$(pairmedian "$results.advise" "$results.dcheck" "$col")"
            if [[ -n $inspect_baseline ]]; then
                printf '%-5s %-4s advise before %.3f s, before / check %s, advise / before %s\n' \
                    "$s" "$what" "$(colmedian "$results.advise0" "$col")" \
                    "$(pairmedian "$results.advise0" "$results.dcheck" "$col")" \
                    "$(pairmedian "$results.advise" "$results.advise0" "$col")"
            fi
        done
        echo "$s peak RSS: advise $(awk '$2 > m { m = $2 } END { print m }' "$results.advise") KB"
        echo "$s peak RSS: map $(awk '$2 > m { m = $2 } END { print m }' "$results.map") KB," \
            "survey $(awk '$2 > m { m = $2 } END { print m }' "$results.survey") KB;" \
            "picture $(($(stat -c %s "$dir/map-$s.svg") / 1024)) KB"
        echo
        rm -rf "$folder" "$dir/map-$s.svg"
    fi

    [[ ${BENCH_KEEP:-0} == 1 ]] || rm -f $(members "$clean") $(members "$damaged")
done
done
