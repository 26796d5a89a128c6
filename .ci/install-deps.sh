#!/usr/bin/env bash
# Installs the Debian packages that are missing: the ones named, or without
# arguments the build and test dependencies. A new machine of this kind has
# most of them; nothing is done when all are there.
#
#   .ci/install-deps.sh [PACKAGE...]
set -euo pipefail
packages=("$@")
if [ ${#packages[@]} -eq 0 ]; then
  packages=(cmake g++ make pkgconf libgtest-dev libbenchmark-dev libpng-dev libjpeg62-turbo-dev
    libwebp-dev libtiff-dev liblcms2-dev libcli11-dev python3
    libhwy-dev libmpfr-dev)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "ci: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
