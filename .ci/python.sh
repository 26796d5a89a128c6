#!/usr/bin/env bash
# The Python package as docs/python.md installs it: a virtual environment over
# Debian's /usr/bin/python3 and its packages, `pip install
# --no-build-isolation .` offline, then the pytest suite (the tool built by
# the default preset is the reference it compares with).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
echo "ci: Python package: pip install from the checkout, pytest"
packages=(python3 python3-dev python3-venv python3-pip python3-setuptools python3-wheel
          pybind11-dev python3-numpy python3-pil python3-opencv python3-distributed python3-pytest)
bash .ci/install-deps.sh "${packages[@]}"

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
