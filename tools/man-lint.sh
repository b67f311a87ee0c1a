#!/bin/sh
# man-lint.sh PAGE...: mandoc's lint of the manual pages must report nothing at
# warning level or above. Exits 77 (skipped) when mandoc is not installed.
if ! command -v mandoc >/dev/null 2>&1; then
  echo "mandoc is not installed: manual pages not checked"
  exit 77
fi
status=0
for page in "$@"; do
  out=$(mandoc -T lint -W warning "$page" 2>&1)
  rc=$?
  if [ -n "$out" ] || [ $rc -ne 0 ]; then
    echo "$out"
    echo "FAIL $page (mandoc status $rc)"
    status=1
  elif grep -n '@[A-Za-z_]*@' "$page"; then
    echo "FAIL $page: a variable was not replaced"
    status=1
  else
    echo "ok   $page"
  fi
done
exit $status
