#!/usr/bin/env bash
# The module's test suite on AArch64: cross-built with Debian's
# g++-aarch64-linux-gnu (statically linked) and run under qemu-aarch64, once
# at the widest level (NEON) and once with POLARMOSAIC_SIMD=scalar.
# GoogleTest for arm64 is built from Debian's sources (/usr/src/googletest);
# Highway is header-only here, its architecture-independent headers are used
# as they are.
#
#   cross/aarch64-tests.sh [CTEST-ARGS...]
#
# Environment:
#   CROSS_INSTALL=1  install g++-aarch64-linux-gnu, qemu-user, libgtest-dev
#                    and libhwy-dev with apt-get when they are missing.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
deps="$root/build/aarch64-deps"
out="$root/build/aarch64"

packages=(g++-aarch64-linux-gnu qemu-user libgtest-dev libhwy-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "${CROSS_INSTALL:-0}" = 1 ]; then
    bash "$(dirname "$0")/../.ci/install-deps.sh" "${missing[@]}"
  else
    echo "aarch64: missing ${missing[*]} (set CROSS_INSTALL=1 to install)" >&2
    exit 2
  fi
fi

toolchain="$here/aarch64-toolchain.cmake"
mkdir -p "$deps/include"
ln -sfn /usr/include/hwy "$deps/include/hwy"
if [ ! -f "$deps/prefix/lib/libgtest.a" ]; then
  echo "aarch64: building GoogleTest for arm64"
  cmake -S /usr/src/googletest -B "$deps/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$deps/prefix" >"$deps/gtest.log"
  cmake --build "$deps/gtest-build" -j2 >>"$deps/gtest.log"
  cmake --install "$deps/gtest-build" >>"$deps/gtest.log"
fi

echo "aarch64: building the module tests"
cmake -S "$root" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPOLARMOSAIC_BUILD_TOOL=OFF -DPOLARMOSAIC_BUILD_HOST=OFF -DGTest_DIR="$deps/prefix/lib/cmake/GTest" \
  -DPOLARMOSAIC_HWY_INCLUDE_DIR="$deps/include" >"$root/build/aarch64.configure.log"
cmake --build "$out" -j2 --target polarmosaic_tests >"$root/build/aarch64.build.log" 2>&1
file "$out/tests/polarmosaic_tests" | grep -q 'ARM aarch64' || { echo "aarch64: not an AArch64 binary" >&2; exit 1; }

# The install and consumer tests build host programs; everything else runs under qemu
# (ctest takes the emulator from the toolchain file).
status=0
for level in neon scalar; do
  echo "aarch64: module tests under qemu-aarch64 at POLARMOSAIC_SIMD=$level"
  if ! POLARMOSAIC_SIMD=$level ctest --test-dir "$out" -j2 -E '^(install_package|consumer_.*)$' --output-on-failure \
       "$@" >"$root/build/aarch64-ctest-$level.log" 2>&1; then
    status=1
  fi
  tail -3 "$root/build/aarch64-ctest-$level.log"
done
# The suite ran the vector level, not only the scalar code.
grep -q 'FastPathsAtLevel\.[A-Za-z]*/neon ' "$root/build/aarch64-ctest-neon.log" ||
  { echo "aarch64: no test ran at the NEON level" >&2; status=1; }
exit $status
