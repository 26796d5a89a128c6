#!/usr/bin/env bash
# Dispatch levels and the elementary functions, after the test workflow has
# built build/default:
#   1. the module's suite with the vector kernels off (POLARMOSAIC_SIMD=scalar):
#      only the module's bytes depend on the level, and the host, tool,
#      Python and page run the module's default level in the other stages;
#   2. sin, cos and atan against MPFR (ctest label "mpfr");
#   3. the module test suite on AArch64 under qemu, at NEON and at scalar.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "ci: the module's test suite at POLARMOSAIC_SIMD=scalar"
POLARMOSAIC_SIMD=scalar build/default/tests/polarmosaic_tests --gtest_brief=1 | tail -3

echo "ci: sin, cos and atan against MPFR"
ctest --preset mpfr | tail -3

echo "ci: module test suite on AArch64 under qemu-aarch64 (NEON and scalar)"
CROSS_INSTALL=1 bash cross/aarch64-tests.sh
