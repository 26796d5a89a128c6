#!/usr/bin/env bash
# Dispatch levels and the elementary functions, after the test workflow has
# built build/default:
#   1. the whole test suite with the vector kernels off (POLARMOSAIC_SIMD=scalar);
#   2. sin, cos and atan against MPFR (ctest label "mpfr");
#   3. the module test suite on AArch64 under qemu, at NEON and at scalar.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "ci: whole test suite at POLARMOSAIC_SIMD=scalar"
POLARMOSAIC_SIMD=scalar ctest --test-dir build/default -j2 -LE mpfr --output-on-failure | tail -3

echo "ci: sin, cos and atan against MPFR"
ctest --test-dir build/default -j2 -L mpfr --output-on-failure | tail -3

echo "ci: module test suite on AArch64 under qemu-aarch64 (NEON and scalar)"
CROSS_INSTALL=1 bash cross/aarch64-tests.sh
