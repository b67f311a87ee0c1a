#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test (the sweeps on a seeded sample of their points; the whole
# sweeps are the long runs of docs/development.md). With clang present, also
# builds the fuzz targets and gives each a short run. Installs what the build
# and the tests need first, when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
deps_install test.sh test
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DTABULON_SANITIZE=ON
cmake --build build/asan -j"$jobs"
ctest --test-dir build/asan --output-on-failure -j"$jobs"

# Two runs side by side in one process, and the inspector's survey of a
# folder on several threads, under ThreadSanitizer (the other tests of the
# two programs run on one thread: the ASan build has run them).
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DTABULON_TSAN=ON -DTABULON_BENCH=OFF
cmake --build build/tsan -j"$jobs" --target library_tests inspect_tests
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/library/library_tests --gtest_filter='TwoRuns.*'
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/inspect/inspect_tests --gtest_filter='Survey.*'

if command -v clang++ >/dev/null 2>&1 && [ -f tests/fuzz/CMakeLists.txt ]; then
  cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
    -DTABULON_SANITIZE=ON -DTABULON_FUZZ=ON
  # Only what the tests of the label fuzz run: the fuzz targets, the seed
  # makers, the replays and the nothing-lost check of the seeds.
  cmake --build build/fuzz -j"$jobs" --target tabulon_fuzz tabulon_fuzz_journal tabulon_seeds \
    tabulon_journal_seeds tabulon_fuzz_replay tabulon_fuzz_journal_replay reliability_tests
  ctest --test-dir build/fuzz --output-on-failure -L fuzz
fi
