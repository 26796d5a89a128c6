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

# Classic and fitted geometry side by side on three photographs from
# Debian's mate-backgrounds (crops of 16:9, 1:1 and 9:16, downscaled with
# libvips; remade only when missing: apt-get install mate-backgrounds
# libvips-tools).
photos=/usr/share/backgrounds/mate/nature
photo() {  # name source left top width height thumbnail-width thumbnail-height
  [ -e "$dir/photo-$1.jpg" ] && return
  tmp=$(mktemp -d)
  vips crop "$photos/$2" "$tmp/crop.v" "$3" "$4" "$5" "$6"
  vips thumbnail "$tmp/crop.v" "$dir/photo-$1.jpg[Q=85,strip]" "$7" --height "$8"
  rm -r "$tmp"
}
photo wide LadyBird.jpg 0 80 2560 1440 480 270
photo square Garden.jpg 960 0 1600 1600 360 360
photo tall TwoWings.jpg 1450 0 900 1600 270 480
for name in wide square tall; do
  "$tool" -Q --classic "$dir/photo-$name.jpg" "$dir/$name-classic.png"
  "$tool" -Q "$dir/photo-$name.jpg" "$dir/$name-fitted.png"
done

# The fitted geometry's own settings on the 16:9 photograph: the centre on
# the ladybird, the spokes turned, and hard against smooth edges and the
# inner rings, zoomed 4x (ImageMagick, nearest neighbour).
"$tool" -Q --centre 69%,48% "$dir/photo-wide.jpg" "$dir/wide-centre.png"
"$tool" -Q --angle 20 -s 24 "$dir/photo-wide.jpg" "$dir/wide-angle.png"
"$tool" -Q --hard-edges "$dir/photo-wide.jpg" "$dir/wide-hard.png"
zoom() {  # source destination
  convert "$1" -crop 120x90+180+90 +repage -filter point -resize 400% "$2"
}
zoom "$dir/wide-hard.png" "$dir/zoom-hard.png"
zoom "$dir/wide-fitted.png" "$dir/zoom-smooth.png"
rm "$dir/wide-hard.png"
