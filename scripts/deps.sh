#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (run as root, or with sudo on PATH).
set -euo pipefail
PKGS=(build-essential cmake ninja-build pkg-config git
      libopenblas-dev nlohmann-json3-dev libonig-dev libutf8proc-dev
      libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The machine's Node.js may come with its own npm; take Debian's only when there is none.
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
