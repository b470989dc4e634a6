#!/usr/bin/env bash
# Builds the project twice (plain, and with ASan + UBSan) and runs the whole
# test suite in each build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
for variant in release sanitize; do
  dir=build/$variant
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_BENCH=OFF)
  [ "$variant" = sanitize ] && flags+=(-DQEL_SANITIZE=ON)
  cmake -S . -B "$dir" "${flags[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== tests: $variant"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
done
