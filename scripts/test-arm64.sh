#!/usr/bin/env bash
# The arm64 stage: cross-builds the project for arm64 Linux (cmake/aarch64-linux-gnu.cmake)
# and runs the whole test suite under qemu user-mode emulation.
# Tests start arm64 programs of their own (chat_probe end to end, the hostile command lines),
# which the kernel can only hand to the emulator through binfmt_misc: the stage registers a
# handler for the run and removes it afterwards, leaving the machine's binfmt state as it was.
# Where binfmt_misc cannot be used, it runs every other test and names those it could not run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=build/arm64
deps=$root/build/arm64-deps
jobs=$(nproc)

bash scripts/deps-arm64.sh "$deps"
export OLVU_CROSS_PKGCONFIG=$deps/pkgconfig
bash scripts/build.sh "$build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake"

bf=/proc/sys/fs/binfmt_misc
name=olvu-qemu-aarch64
mounted_here=0
registered_here=0
restore() {
  if [ "$registered_here" = 1 ] && [ -e "$bf/$name" ]; then echo -1 > "$bf/$name" || true; fi
  if [ "$mounted_here" = 1 ]; then umount "$bf" || true; fi
}
trap restore EXIT

binfmt=0
if [ "$(id -u)" -eq 0 ]; then
  if [ ! -e "$bf/register" ] && mount -t binfmt_misc binfmt_misc "$bf" 2>/dev/null; then
    mounted_here=1
  fi
  if [ -e "$bf/register" ] && [ "$(cat "$bf/status" 2>/dev/null)" = enabled ]; then
    # ELF64, little-endian, executable or shared object, machine 0xb7 (aarch64). The newest
    # handler is matched first, so ours wins over any other for the run. Flag P hands the
    # program its own argv[0] (tests pass a name that is not UTF-8); flag F opens the
    # emulator now, so the handler works whatever the program's mount namespace.
    magic='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
    mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    [ -e "$bf/$name" ] && echo -1 > "$bf/$name"
    if echo ":$name:M::$magic:$mask:$(command -v qemu-aarch64-static):PF" > "$bf/register" 2>/dev/null; then
      registered_here=1
      binfmt=1
    fi
  fi
fi

if [ "$binfmt" = 1 ]; then
  ctest --test-dir "$build" --output-on-failure -j "$jobs"
else
  # Without the handler an arm64 program cannot start another one: the end-to-end tests
  # (label e2e) and the hostile command lines start chat_probe.
  echo "binfmt_misc cannot be used here: these tests start arm64 programs and were not run:"
  { ctest --test-dir "$build" -N -L e2e; ctest --test-dir "$build" -N -R '^HostileCli\.'; } |
    sed -n 's/^ *Test *#[0-9]*: /  /p'
  ctest --test-dir "$build" --output-on-failure -j "$jobs" -LE e2e -E '^HostileCli\.'
fi
