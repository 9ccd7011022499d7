#!/usr/bin/env bash
# The main job: installs what is needed, builds, and runs chat_probe.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
bash scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release
if [ ! -x build/release/src/bin/chat_probe ] && [ ! -x build/release/chat_probe ]; then
  echo "chat_probe is not complete yet: the engine and libraries were built, but there is no program to run." >&2
  exit 2
fi
