#!/bin/sh
# progress_tty.sh INSPECT MAKE_SAMPLE: on a terminal (a pseudo-terminal made
# by script(1)) survey and report draw a progress line on standard error and
# clear it; with standard error a file, or another format, none of it is
# written.
set -u
inspect=$1
make_sample=$2
command -v script >/dev/null 2>&1 || { echo "no script(1): skipped"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$make_sample" "$dir/db" >/dev/null
failed=0
check() {
  if grep -q "$2" "$3"; then echo "ok   $1"; else
    echo "FAIL $1: no '$2' in:"; od -c "$3" | head -20; failed=1
  fi
}
# A terminal ends lines with a carriage return too: only one within a line
# is a redrawn line.
check_none() {
  cr=$(printf '\r')
  if sed "s/$cr\$//" "$2" | grep -q "$cr"; then echo "FAIL $1: a carriage return in:"; od -c "$2" | head; failed=1
  else echo "ok   $1"; fi
}
script -qec "'$inspect' survey '$dir/db' >'$dir/out.txt'" /dev/null >"$dir/tty.txt" 2>&1
check "survey on a terminal: the progress line" "checking: 1 of 1 files" "$dir/tty.txt"
check "survey on a terminal: the line cleared" "$(printf '\r\033\\[K')" "$dir/tty.txt"
check_none "survey on a terminal: the table on standard output untouched" "$dir/out.txt"
script -qec "'$inspect' report '$dir/db' -o '$dir/r.html'" /dev/null >"$dir/tty-report.txt" 2>&1
check "report on a terminal: the progress line" "checking: 1 of 1 files" "$dir/tty-report.txt"
script -qec "'$inspect' survey --format nagios '$dir/db'" /dev/null >"$dir/tty-nagios.txt" 2>&1
check_none "survey --format nagios on a terminal: no progress line" "$dir/tty-nagios.txt"
"$inspect" survey "$dir/db" >"$dir/out2.txt" 2>"$dir/err.txt"
check_none "survey into a file: no progress line" "$dir/err.txt"
exit $failed
