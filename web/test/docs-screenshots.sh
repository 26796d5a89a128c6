#!/usr/bin/env bash
# The README's screenshots from the browser test's (node web/test/browser-test.mjs
# saves them in its output folder): 960 pixels wide, 256-colour PNG, each well
# under 150 KB. ImageMagick's convert.
#   web/test/docs-screenshots.sh [build/wasm/web-test]
set -euo pipefail
cd "$(dirname "$0")/../.."
from=${1:-build/wasm/web-test}
small() { convert "$from/$1" -resize 960x -dither None -colors 256 "PNG8:docs/$2"; }
small screenshot-big-busy.png page-big-photo-busy.png  # a photo mid-render: preview, busy sign
small screenshot.png page-centre-picked.png            # the centre picked on the picture
ls -l docs/page-big-photo-busy.png docs/page-centre-picked.png
