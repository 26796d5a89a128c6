#!/usr/bin/env bash
# Byte-identity check for the target class: builds the module and
# cross/check.cpp for x86-64 and, statically linked, for 32-bit big-endian
# MIPS (mips-linux-gnu-g++), runs the MIPS binary under qemu-mips and diffs
# the digest lines of both. Any difference in a module line fails; the
# "libm-" probe lines are informational only.
#
#   cross/run.sh
#
# Environment:
#   X86_EXTRA_FLAGS  appended to the x86-64 compile flags only, for instance
#                    "-mfma -ffp-contract=fast" to show that contracted
#                    multiply-adds are caught.
#   CROSS_INSTALL=1  install g++-mips-linux-gnu and qemu-user with apt-get
#                    when they are missing (CI does this).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
out_x86="$root/build/cross-x86_64"
out_mips="$root/build/cross-mips"
mkdir -p "$root/build"

if ! command -v mips-linux-gnu-g++ >/dev/null || ! command -v qemu-mips >/dev/null; then
  if [ "${CROSS_INSTALL:-0}" = 1 ]; then
    echo "cross: installing g++-mips-linux-gnu and qemu-user"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-mips-linux-gnu qemu-user >/dev/null
  else
    echo "cross: mips-linux-gnu-g++ or qemu-mips missing (set CROSS_INSTALL=1 to install)" >&2
    exit 2
  fi
fi

# Both sides build the module through its own CMakeLists (its flags, its
# sources); X86_EXTRA_FLAGS reach the x86-64 side through a compiler launcher
# that appends them after every other flag.
launcher=()
if [ -n "${X86_EXTRA_FLAGS:-}" ]; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER="$here/append-flags.sh")
fi
rm -rf "$out_x86" "$out_mips"
X86_EXTRA_FLAGS="${X86_EXTRA_FLAGS:-}" cmake -S "$here" -B "$out_x86" -DCMAKE_CXX_COMPILER=g++ \
  -DCMAKE_C_COMPILER=gcc "${launcher[@]}" >"$root/build/cross-x86_64.configure.log"
X86_EXTRA_FLAGS="${X86_EXTRA_FLAGS:-}" cmake --build "$out_x86" -j2 >"$root/build/cross-x86_64.build.log"
cmake -S "$here" -B "$out_mips" -DCMAKE_TOOLCHAIN_FILE="$here/mips-toolchain.cmake" \
  >"$root/build/cross-mips.configure.log"
cmake --build "$out_mips" -j2 >"$root/build/cross-mips.build.log"
file "$out_mips/check" | grep -q 'MSB executable, MIPS' || { echo "cross: not a big-endian MIPS binary" >&2; exit 1; }

"$out_x86/check" >"$out_x86/digests.txt"
qemu-mips "$out_mips/check" >"$out_mips/digests.txt"

# The module computes its own sine, cosine and arctangent, so its digests
# must match whatever C library each side has. The "libm-" lines only report
# whether the C libraries themselves agree (on a processor with FMA, glibc's
# x86-64 libm uses FMA builds of sin, cos and atan that differ from the
# generic builds MIPS runs in the last bit for a few arguments): they are
# informational and never decide the result. The module lines are compared
# twice, with glibc's libm as deployed and with its generic builds.
GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA "$out_x86/check" >"$out_x86/digests-generic-libm.txt"

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
exit $status
