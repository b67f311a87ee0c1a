#!/usr/bin/env bash
# Builds the tool, writes the bundled sample file set and checks it, then
# repairs a copy of it and checks the copy again. Shows the set with
# tabulon-inspect, draws its page map into docs/sample-map.svg and writes the
# report of the sample folder (the set and its repaired copy) beside it,
# docs/sample-report.html, with its picture docs/sample-report.png when
# chromium and ImageMagick are installed. Installs what the build needs
# first, when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
deps_install sample.sh build
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release
cmake --build build/release -j"$jobs" --target tabulon tabulon-inspect make_sample
sample=build/release/sample
rm -rf "$sample" && mkdir -p "$sample/repair"
build/release/tools/make_sample "$sample"
cp "$sample"/ORDERS.* "$sample/repair/"

run() { echo; echo "\$ tabulon $*"; build/release/tabulon "$@" || true; }
run "$sample/ORDERS.DAT"
run "$sample/repair/ORDERS.DAT" /F-1 /R
run "$sample/repair/ORDERS.DAT" /R

inspect() { echo; echo "\$ tabulon-inspect $*"; build/release/tabulon-inspect "$@" || true; }
inspect info "$sample/ORDERS.DAT"
inspect plan "$sample/ORDERS.DAT" /R
inspect map "$sample/ORDERS.DAT" -o docs/sample-map.svg
# The report's time is that of the last commit, so that an unchanged tree
# gives an unchanged report.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
export SOURCE_DATE_EPOCH
inspect report "$sample" -o docs/sample-report.html
if command -v chromium >/dev/null 2>&1 && command -v convert >/dev/null 2>&1; then
  profile=$(mktemp -d)
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --hide-scrollbars --force-device-scale-factor=1 --user-data-dir="$profile" \
    --window-size=1000,1100 --screenshot="$profile/shot.png" \
    "file://$PWD/docs/sample-report.html" >/dev/null 2>&1 &&
    convert "$profile/shot.png" +dither -colors 48 PNG8:docs/sample-report.png
  rm -rf "$profile"
  echo "docs/sample-report.png: the report as headless Chromium draws it"
fi
