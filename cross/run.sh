#!/usr/bin/env bash
# Byte-identity check for the target class: builds the module and
# cross/check.cpp for x86-64 and, statically linked, for 32-bit big-endian
# MIPS (mips-linux-gnu-g++) and AArch64 (aarch64-linux-gnu-g++), runs those
# under qemu-mips and qemu-aarch64 and diffs the digest lines. The x86-64
# build runs at every dispatch level (POLARMOSAIC_SIMD), the AArch64 one at
# NEON and scalar; all must give the x86-64 default's module digests. Any
# difference in a module line fails; the "libm-" probe lines are
# informational only.
#
#   cross/run.sh
#
# Environment:
#   X86_EXTRA_FLAGS  appended to the x86-64 compile flags only, for instance
#                    "-mfma -ffp-contract=fast" to show that contracted
#                    multiply-adds are caught.
#   CROSS_INSTALL=1  install g++-mips-linux-gnu, g++-aarch64-linux-gnu and
#                    qemu-user with apt-get when they are missing (CI does
#                    this).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
out_x86="$root/build/cross-x86_64"
out_mips="$root/build/cross-mips"
out_arm="$root/build/cross-aarch64"
mkdir -p "$root/build"

if ! command -v mips-linux-gnu-g++ >/dev/null || ! command -v qemu-mips >/dev/null ||
   ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64 >/dev/null; then
  if [ "${CROSS_INSTALL:-0}" = 1 ]; then
    bash "$root/.ci/install-deps.sh" g++-mips-linux-gnu g++-aarch64-linux-gnu qemu-user
  else
    echo "cross: a cross compiler or qemu-mips/qemu-aarch64 is missing (set CROSS_INSTALL=1 to install)" >&2
    exit 2
  fi
fi
# Highway's headers do not depend on the architecture; the AArch64 build
# takes the installed ones from a folder of their own (not /usr/include, which
# holds the host's C library headers).
hwy_arm="$root/build/aarch64-deps/include"
mkdir -p "$hwy_arm"
[ -d /usr/include/hwy ] && ln -sfn /usr/include/hwy "$hwy_arm/hwy"

# Both sides build the module through its own CMakeLists (its flags, its
# sources); X86_EXTRA_FLAGS reach the x86-64 side through a compiler launcher
# that appends them after every other flag.
launcher=()
if [ -n "${X86_EXTRA_FLAGS:-}" ]; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER="$here/append-flags.sh")
fi
rm -rf "$out_x86" "$out_mips" "$out_arm"
X86_EXTRA_FLAGS="${X86_EXTRA_FLAGS:-}" cmake -S "$here" -B "$out_x86" -DCMAKE_CXX_COMPILER=g++ \
  -DCMAKE_C_COMPILER=gcc "${launcher[@]}" >"$root/build/cross-x86_64.configure.log"
X86_EXTRA_FLAGS="${X86_EXTRA_FLAGS:-}" cmake --build "$out_x86" -j2 >"$root/build/cross-x86_64.build.log"
cmake -S "$here" -B "$out_mips" -DCMAKE_TOOLCHAIN_FILE="$here/mips-toolchain.cmake" \
  >"$root/build/cross-mips.configure.log"
cmake --build "$out_mips" -j2 >"$root/build/cross-mips.build.log"
file "$out_mips/check" | grep -q 'MSB executable, MIPS' || { echo "cross: not a big-endian MIPS binary" >&2; exit 1; }
cmake -S "$here" -B "$out_arm" -DCMAKE_TOOLCHAIN_FILE="$here/aarch64-toolchain.cmake" \
  -DPOLARMOSAIC_HWY_INCLUDE_DIR="$hwy_arm" >"$root/build/cross-aarch64.configure.log"
cmake --build "$out_arm" -j2 >"$root/build/cross-aarch64.build.log"
file "$out_arm/check" | grep -q 'ARM aarch64' || { echo "cross: not an AArch64 binary" >&2; exit 1; }

"$out_x86/check" >"$out_x86/digests.txt" 2>/dev/null
qemu-mips "$out_mips/check" >"$out_mips/digests.txt" 2>/dev/null

# The module computes its own sine, cosine and arctangent, so its digests
# must match whatever C library each side has. The "libm-" lines only report
# whether the C libraries themselves agree (on a processor with FMA, glibc's
# x86-64 libm uses FMA builds of sin, cos and atan that differ from the
# generic builds MIPS runs in the last bit for a few arguments): they are
# informational and never decide the result. The module lines are compared
# twice, with glibc's libm as deployed and with its generic builds.
GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA "$out_x86/check" >"$out_x86/digests-generic-libm.txt" 2>/dev/null

label="x86-64${X86_EXTRA_FLAGS:+ ($X86_EXTRA_FLAGS)}"
cases=$(grep -vc '^libm-' "$out_x86/digests.txt" || true)
status=0
for run in digests digests-generic-libm; do
  if diff -u --label "$label ($run)" --label mips-be \
       <(grep -v '^libm-' "$out_x86/$run.txt") <(grep -v '^libm-' "$out_mips/digests.txt"); then
    echo "cross: $cases module cases, identical digests on x86-64 ($run) and 32-bit big-endian MIPS"
  else
    echo "cross: module digests differ between x86-64 ($run) and 32-bit big-endian MIPS" >&2
    status=1
  fi
done
libm_diffs=$(join <(grep '^libm-' "$out_x86/digests.txt") <(grep '^libm-' "$out_mips/digests.txt") |
  awk '$2 != $3 { printf "  %-10s x86-64 %s  mips %s\n", $1, $2, $3 }')
if [ -n "$libm_diffs" ]; then
  echo "cross: note (informational): the C libraries differ, which the module does not depend on:"
  echo "$libm_diffs"
else
  echo "cross: note (informational): the C libraries agree on the libm probe"
fi
# Every dispatch level on x86-64 (a level this processor lacks falls back to
# the widest it has), NEON and scalar on AArch64: module lines only, since
# the C libraries of the two processors may differ in the last bit.
runs=()
# check.cpp names the level it ran on standard error.
for level in scalar avx2 avx512; do
  ran=$(POLARMOSAIC_SIMD=$level "$out_x86/check" 2>&1 >"$out_x86/digests-$level.txt")
  runs+=("x86-64 POLARMOSAIC_SIMD=$level, ran ${ran#level }:$out_x86/digests-$level.txt")
done
for level in neon scalar; do
  ran=$(POLARMOSAIC_SIMD=$level qemu-aarch64 "$out_arm/check" 2>&1 >"$out_arm/digests-$level.txt")
  runs+=("aarch64 POLARMOSAIC_SIMD=$level, ran ${ran#level }:$out_arm/digests-$level.txt")
done
for run in "${runs[@]}"; do
  name="${run%%:*}"
  if diff -u --label "x86-64" --label "$name" \
       <(grep -v '^libm-' "$out_x86/digests.txt") <(grep -v '^libm-' "${run#*:}"); then
    echo "cross: $name: all $cases module cases identical"
  else
    echo "cross: module digests differ between x86-64 and $name" >&2
    status=1
  fi
done
exit $status
