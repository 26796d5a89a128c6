#!/usr/bin/env bash
# The Python package as the README installs it: a virtual environment over
# Debian's /usr/bin/python3 and its packages, `pip install
# --no-build-isolation .` offline, then the pytest suite (the tool built by
# the default preset is the reference it compares with).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
echo "ci: Python package: pip install from the checkout, pytest"
packages=(python3 python3-dev python3-venv python3-pip python3-setuptools python3-wheel
          pybind11-dev python3-numpy python3-pil python3-opencv python3-distributed python3-pytest)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "ci: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

tool=$root/build/default/tool/polarmosaic
if [ ! -x "$tool" ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target polarmosaic_tool
fi

venv=$root/build/python-venv
rm -rf "$venv"
/usr/bin/python3 -m venv --system-site-packages "$venv"
"$venv/bin/pip" install --quiet --no-build-isolation --no-index "$root"

# From outside the checkout, so that the installed package is the one imported.
cd "$(mktemp -d)"
status=0
POLARMOSAIC_TOOL=$tool "$venv/bin/python" -m pytest -p no:cacheprovider -p no:logging -rs \
  "$root/python/tests" || status=$?
if [ "$status" -eq 5 ]; then
  echo "ci: pytest collected no Python tests" >&2
  exit 1
fi
exit "$status"
