#!/usr/bin/env bash
# sample-docs.sh INSPECT MAKE_SAMPLE OUTDIR [TABULON]: writes the pictures of the
# README into OUTDIR: the page map of the sample set (sample-map.svg), the
# report of the sample folder, the set and its repaired copy
# (sample-report.html), and, when chromium and ImageMagick are installed and
# SAMPLE_DOCS_PICTURE is not 0, the report as headless Chromium draws it
# (sample-report.png). The same programs give the same files byte for byte:
# the set is written in a folder named "sample" and the report carries a
# fixed time.
set -euo pipefail
[ $# = 3 ] || [ $# = 4 ] ||
  { echo "usage: tools/sample-docs.sh INSPECT MAKE_SAMPLE OUTDIR [TABULON]" >&2; exit 2; }
inspect=$(realpath "$1")
make_sample=$(realpath "$2")
# The repair of the copy: tabulon, by default beside tabulon-inspect.
tabulon=$(realpath "${4:-$(dirname "$inspect")/tabulon}")
mkdir -p "$3"
out=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p sample/repair
"$make_sample" sample >/dev/null
cp sample/ORDERS.* sample/repair/
"$tabulon" sample/repair/ORDERS.DAT /F-1 /R >/dev/null 2>&1 || true
"$inspect" map sample/ORDERS.DAT -o "$out/sample-map.svg" >/dev/null
# 2026-01-01 00:00:00 UTC
# The report names the command that made it: written beside the set, under
# a name that is the same wherever the build is.
SOURCE_DATE_EPOCH=1767225600 "$inspect" report sample -o sample-report.html >/dev/null || true
# The report states the folder its commands run from: this temporary one,
# written as a folder that is the same wherever the build is.
sed "s|$(realpath "$work")|/srv/tabulon|g" sample-report.html >"$out/sample-report.html"
if [ "${SAMPLE_DOCS_PICTURE:-1}" != 0 ] && command -v chromium >/dev/null 2>&1 &&
  command -v convert >/dev/null 2>&1; then
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --hide-scrollbars --force-device-scale-factor=1 --user-data-dir="$work/profile" \
    --window-size=1000,1100 --screenshot="$work/shot.png" \
    "file://$out/sample-report.html" >/dev/null 2>&1 &&
    convert "$work/shot.png" +dither -colors 48 PNG8:"$out/sample-report.png"
fi
