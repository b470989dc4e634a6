#!/usr/bin/env bash
# Builds zavreader and extracts the bundled example archive into ./example-out.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" --target zavreader
mkdir -p example-out
./build/release/zavreader --overwrite --passphrase "example passphrase" examples/example.zav example-out
echo "extracted into $(pwd)/example-out:"
find example-out -mindepth 1 | sort
