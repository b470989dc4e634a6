#!/usr/bin/env bash
# Builds the project three times and runs the whole test suite in each:
# plain (g++), ASan + UBSan (g++), and clang with the fuzz targets (every
# library instrumented with ASan + UBSan). In the clang build CTest also
# replays each fuzz target's seed corpus; then every target fuzzes briefly.
# A fourth, ThreadSanitizer build runs the threaded suites: the key
# databases, which the housekeeping thread closes while callers use them,
# and the pipeline modules that run work on threads of their own.
# QEL_FUZZ_SECONDS sets the time of those short runs in all (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
for variant in release sanitize clang; do
  dir=build/$variant
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_BENCH=OFF)
  env=()
  case $variant in
    sanitize) flags+=(-DQEL_SANITIZE=ON) ;;
    clang) flags+=(-DQEL_FUZZ=ON); env=(CC=clang CXX=clang++) ;;
  esac
  env "${env[@]}" cmake -S . -B "$dir" "${flags[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== tests: $variant"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
done

# Under ThreadSanitizer: the key-database suites, and the pipeline modules
# that hand work to threads of their own (parallel compression, read-ahead
# and write-behind, the signature hash beside the data path).
tsan_tests=(keydb_test keydbsafety_test keyset_test keyring_test trust_test trustprop_test
            compression_test generic_test sigmodule_test)
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_BENCH=OFF -DQEL_TSAN=ON >/dev/null
cmake --build build/tsan -j "$jobs" --target "${tsan_tests[@]}"
echo "== tests: tsan"
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j "$jobs" \
  -R '^(KeyDB|KeySet|KeyRing|Trust|Compression|Generic|SignatureModule)' -E 'portable'

echo "== short fuzz runs"
targets=(fuzz/*_fuzz.cpp)
if [ -e "${targets[0]}" ]; then
  total=${QEL_FUZZ_SECONDS:-60}
  each=$(( total / ${#targets[@]} ))
  (( each >= 2 )) || each=2
  for src in "${targets[@]}"; do
    name=$(basename "$src" _fuzz.cpp)
    QEL_FUZZ_BUILD_DIR=build/clang bash scripts/fuzz.sh "$name" "$each" >"build/clang/fuzz-$name.log" 2>&1 \
      || { cat "build/clang/fuzz-$name.log"; echo "fuzz target $name failed"; exit 1; }
    echo "fuzz $name: $(grep -E '^stat::number_of_executed_units' "build/clang/fuzz-$name.log" | awk '{print $2}') runs in ${each}s"
  done
fi
