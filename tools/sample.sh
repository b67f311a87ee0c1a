#!/usr/bin/env bash
# Builds the tool, writes the bundled sample file set and checks it, then
# repairs a copy of it and checks the copy again. Shows the set with
# tabulon-inspect and draws its page map into docs/sample-map.svg. Installs
# what the build needs first, when it is missing.
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
