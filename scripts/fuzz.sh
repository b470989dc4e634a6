#!/usr/bin/env bash
# Runs one libFuzzer target for a while:  bash scripts/fuzz.sh NAME SECONDS
# (NAME as in fuzz/NAME_fuzz.cpp). Builds the clang fuzz build in
# build/fuzz first. Inputs it finds go to a scratch corpus, not into the
# repository; a crash leaves its input in build/fuzz/artifacts/NAME/.
# Extra arguments are passed to libFuzzer (e.g. -jobs=2).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 2 ]; then
  echo "usage: $0 TARGET SECONDS [libFuzzer options...]" >&2
  exit 2
fi
name=${1%_fuzz}
seconds=$2
shift 2
[ -f "fuzz/${name}_fuzz.cpp" ] || { echo "no fuzz/${name}_fuzz.cpp" >&2; exit 2; }
dir=${QEL_FUZZ_BUILD_DIR:-build/fuzz}
if [ ! -f "$dir/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQEL_FUZZ=ON -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$dir" -j "${QEL_FUZZ_BUILD_JOBS:-4}" --target "${name}_fuzz" >/dev/null
scratch="$dir/corpus/$name"
artifacts="$dir/artifacts/$name"
mkdir -p "$scratch" "$artifacts"
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  "$dir/fuzz/${name}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$artifacts/" "$@" "$scratch" "fuzz/corpus/$name"
