#!/usr/bin/env bash
# Installs the Debian packages that are missing: the ones named, a group, or
# without arguments the build and test dependencies. A new machine of this
# kind has most of them; nothing is done when all are there. Needs root for
# apt-get (run it with sudo otherwise).
#
#   .ci/install-deps.sh [tool | PACKAGE...]
#
# .ci/run names GIMP and Xvfb (gimp libgimp2.0-dev xvfb xauth) in a call of
# their own, before the first build, so the plug-in and its test are built.
set -euo pipefail
# What the tool needs: the compiler, the build system and its image libraries.
tool=(cmake ninja-build g++ pkgconf libpng-dev libjpeg62-turbo-dev libwebp-dev libtiff-dev liblcms2-dev
  libgif-dev libimagequant-dev libhwy-dev libcli11-dev)
# The tool's, and what the test suite, the benchmark and the MPFR proofs add.
tests=("${tool[@]}" make libgtest-dev libbenchmark-dev libmpfr-dev python3)
case "${1:-}" in
  "") packages=("${tests[@]}") ;;
  tool) packages=("${tool[@]}") ;;
  *) packages=("$@") ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: apt-get needs root: run it with sudo" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
