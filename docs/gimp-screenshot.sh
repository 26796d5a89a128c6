#!/usr/bin/env bash
# Makes docs/gimp-dialog.png: GIMP under Xvfb with a private profile opens a
# photo (python3-skimage's coffee.png, or the one named), runs the built
# plug-in interactively, and the dialog window is captured with ImageMagick's
# import. Needs gimp, xvfb, xauth, x11-utils and imagemagick.
#
#   docs/gimp-screenshot.sh [BUILD_DIR [PHOTO]]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
photo=${2:-/usr/lib/python3/dist-packages/skimage/data/coffee.png}
plugin=$PWD/$build/gimp/plug-ins/polarmosaic
[ -x "$plugin/polarmosaic" ] || { echo "gimp-screenshot: build the plug-in first ($plugin)" >&2; exit 1; }
[ -r "$photo" ] || { echo "gimp-screenshot: $photo: not readable" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
profile=$work/profile
mkdir -p "$profile/plug-ins"
ln -s "$plugin" "$profile/plug-ins/polarmosaic"
system_plugins=$(pkg-config --variable=gimplibdir gimp-2.0)/plug-ins
for p in script-fu file-png file-jpeg; do ln -s "$system_plugins/$p" "$profile/plug-ins/$p"; done
echo "(plug-in-path \"$profile/plug-ins\")" > "$profile/gimprc"
out=$PWD/docs/gimp-dialog.png

cat > "$work/shoot.sh" <<SH
set -u
GIMP2_DIRECTORY=$profile gimp -s -d -n --stack-trace-mode never -b '
  (let* ((image (car (gimp-file-load RUN-NONINTERACTIVE "$photo" "$photo")))
         (layer (car (gimp-image-get-active-layer image))))
    (gimp-display-new image)
    (plug-in-polarmosaic RUN-INTERACTIVE image layer "fitted" 36 "" "grid" "" (quote (48 48 48))
      3.0 0.3 3.0 0.3 "50%,50%" 0.0 0 0))' >$work/gimp.log 2>&1 &
gimp_pid=\$!
window=""
for i in \$(seq 1 120); do
  window=\$(xwininfo -root -tree | awk '/"Polar Mosaic"/ {print \$1; exit}')
  [ -n "\$window" ] && break
  sleep 0.5
done
status=1
if [ -n "\$window" ]; then
  sleep 4  # the preview renders
  import -window "\$window" "$work/dialog.png" && status=0
else
  echo "gimp-screenshot: no Polar Mosaic dialog appeared" >&2
  cat $work/gimp.log >&2
fi
kill \$gimp_pid 2>/dev/null
wait \$gimp_pid 2>/dev/null
exit \$status
SH
xvfb-run -a -s '-screen 0 1280x900x24' bash "$work/shoot.sh"
# A palette PNG keeps the text sharp and the file small.
convert "$work/dialog.png" -colors 255 -define png:compression-level=9 "$out"
echo "gimp-screenshot: wrote $out ($(stat -c %s "$out") bytes)"
