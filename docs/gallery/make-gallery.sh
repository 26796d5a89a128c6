#!/bin/sh
# Remakes the gallery pictures with the tool itself.
# Usage: docs/gallery/make-gallery.sh [path/to/polarmosaic]
set -eu
tool=${1:-build/default/tool/polarmosaic}
dir=$(dirname "$0")
"$tool" -Q --demo --no-effect "$dir/before.png"
"$tool" -Q --demo "$dir/grid.png"
"$tool" -Q --demo -b none "$dir/none.png"
"$tool" -Q --demo -b rings -s 24 -r 40 "$dir/rings.png"
"$tool" -Q --demo -b spokes -s 48 "$dir/spokes.png"
"$tool" -Q --demo -w 3 -c '#ffffff' --shade-outer 0 --shade-inner 0 \
  --shade-ccw 0 --shade-cw 0 "$dir/flat-white.png"
