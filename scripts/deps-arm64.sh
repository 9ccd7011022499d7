#!/usr/bin/env bash
# Installs what the arm64 cross-build and its emulated test run need, through
# Debian multiarch: the cross compiler, qemu user-mode emulation and the :arm64
# libraries (run as root, or with sudo on PATH).
#   scripts/deps-arm64.sh DEPS_DIR
# Oniguruma's -dev package cannot be installed for two architectures at once
# (its files conflict), so only the :arm64 runtime library is installed, and
# DEPS_DIR receives the link and the pkg-config description the build uses
# (pass DEPS_DIR/pkgconfig to the toolchain as OLVU_CROSS_PKGCONFIG).
set -euo pipefail
deps_dir=${1:?usage: deps-arm64.sh DEPS_DIR}
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
HOST_PKGS=(g++-aarch64-linux-gnu qemu-user-static)
ARM_PKGS=(libc6-dev:arm64 libstdc++-12-dev:arm64 libopenblas-dev:arm64 libgtest-dev:arm64
          libgmock-dev:arm64 libbenchmark-dev:arm64 libutf8proc-dev:arm64 libonig5:arm64)
missing=()
for p in "${HOST_PKGS[@]}" "${ARM_PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $SUDO dpkg --add-architecture arm64
  fi
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
lib=$(ls /usr/lib/aarch64-linux-gnu/libonig.so.5* 2>/dev/null | head -n1)
[ -n "$lib" ] || { echo "deps-arm64: libonig5:arm64 is not installed" >&2; exit 1; }
version=$(dpkg-query -W -f='${Version}' libonig5:arm64 | sed 's/-.*//')
mkdir -p "$deps_dir/lib" "$deps_dir/pkgconfig"
ln -sf "$lib" "$deps_dir/lib/libonig.so"
cat > "$deps_dir/pkgconfig/oniguruma.pc" <<PC
prefix=/usr
libdir=$deps_dir/lib
includedir=/usr/include

Name: oniguruma
Description: Regular expression library (arm64 runtime, host headers)
Version: $version
Libs: -L\${libdir} -lonig
Cflags: -I\${includedir}
PC
