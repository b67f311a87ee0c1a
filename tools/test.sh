#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test. With clang present, also builds the fuzz targets and gives
# each a short run. Installs what the build and the tests need first, when it
# is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
deps_install test.sh test
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DTABULON_SANITIZE=ON
cmake --build build/asan -j"$jobs"
ctest --test-dir build/asan --output-on-failure -j"$jobs"

# Two runs side by side in one process, and the inspector's survey of a
# folder on several threads, under ThreadSanitizer.
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DTABULON_TSAN=ON -DTABULON_BENCH=OFF
cmake --build build/tsan -j"$jobs" --target library_tests inspect_tests
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/library/library_tests
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/inspect/inspect_tests --gtest_filter='Survey.*'

if command -v clang++ >/dev/null 2>&1 && [ -f tests/fuzz/CMakeLists.txt ]; then
  cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
    -DTABULON_SANITIZE=ON -DTABULON_FUZZ=ON
  cmake --build build/fuzz -j"$jobs"
  ctest --test-dir build/fuzz --output-on-failure -L fuzz
fi
