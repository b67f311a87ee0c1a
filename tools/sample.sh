#!/usr/bin/env bash
# Builds the tool, writes the bundled sample file set and checks it, then
# repairs a copy of it and checks the copy again. Shows the set with
# tabulon-inspect and writes the README's pictures of it, the page map, the
# report of the sample folder and its picture, into build/release/sample-docs
# (tools/sample-docs.sh). Writes nothing outside build/: the committed copies
# in docs/ are made by the build target sample-docs. Installs what the build
# needs first, when it is missing.
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
echo
echo "\$ tools/sample-docs.sh ... build/release/sample-docs"
tools/sample-docs.sh build/release/tabulon-inspect build/release/tools/make_sample \
  build/release/sample-docs
ls build/release/sample-docs
