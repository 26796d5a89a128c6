#!/usr/bin/env bash
# The GIMP plug-in, headless: one gimp-console run with a private profile
# (GIMP2_DIRECTORY, the built plug-in in its plug-ins folder) calls
# plug-in-polarmosaic from Script-Fu with the same non-default settings on
# an RGB layer, again with RUN-WITH-LAST-VALS, on an RGBA layer, on a
# two-rectangle selection, on a grey and on a grey+alpha layer, and exports
# each result as PNG. Then:
#   RGB, last values and grey: the tool's --checksum of its own result on
#     the same PNG equals its --checksum of GIMP's export (grey: the line
#     colour given to the tool as the grey of the plug-in's colour, Rec. 709);
#   RGBA, grey+alpha and the selection: GIMP's export decodes to the pixels
#     expected_pixels makes with the host (alpha kept; the effect on the
#     selection's bounding box, pixels outside the selection as they were),
#     a reference first shown equal to the tool on the RGB picture.
#
#   gimp_test.sh TOOL EXPECTED_PIXELS PLUGIN_FOLDER GIMP_CONSOLE
set -euo pipefail
tool=$1 expected=$2 plugin_folder=$3 gimp=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "gimp_test: $*" >&2; exit 1; }

profile=$work/profile
mkdir -p "$profile/plug-ins" "$profile/gradients" "$profile/brushes" "$profile/patterns" "$profile/palettes"
ln -s "$plugin_folder" "$profile/plug-ins/polarmosaic"
# Only the plug-ins the batch needs: a fresh profile queries every plug-in
# on its path, and GIMP has more than a hundred.
system_plugins=$(pkg-config --variable=gimplibdir gimp-2.0 2>/dev/null || echo /usr/lib/gimp/2.0)/plug-ins
for p in script-fu file-png; do
  [ -e "$system_plugins/$p" ] || fail "GIMP's $p plug-in is not in $system_plugins"
  ln -s "$system_plugins/$p" "$profile/plug-ins/$p"
done
echo "(plug-in-path \"$profile/plug-ins\")" > "$profile/gimprc"

"$tool" --demo --no-effect -Q in.png
"$expected" add-alpha in.png in-rgba.png

# The settings: 24 sectors, 30-pixel rings, 3-pixel grid lines in a red,
# shades not the defaults, the centre off the middle, turned by 15 degrees.
colour=(200 40 30)
tool_settings=(--sectors 24 --ring 30 --border grid --border-width 3 --shade-outer 2 --shade-inner 0.5
  --shade-ccw 2.5 --shade-cw 0.25 --centre 30%,40% --angle 15)
# Rec. 709 luma, rounded: the line colour on a grey layer.
grey=$(( (colour[0] * 2126 + colour[1] * 7152 + colour[2] * 722 + 5000) / 10000 ))
select=(--select 100,80,300,200 --select 250,200,250,250)

cat > batch.scm <<SCM
(define (pm-run image mode)
  (plug-in-polarmosaic mode image (car (gimp-image-get-active-drawable image))
    "fitted" 24 "30" "grid" "3" '(${colour[*]}) 2.0 0.5 2.5 0.25 "30%,40%" 15.0 0 0))
(define (pm-load file) (car (gimp-file-load RUN-NONINTERACTIVE file file)))
(define (pm-save image file)
  (file-png-save2 RUN-NONINTERACTIVE image (car (gimp-image-get-active-drawable image)) file file
    0 1 0 0 0 0 0 0 1))
(define (pm-case in out mode prepare)
  (let ((image (pm-load in)))
    (prepare image)
    (pm-run image mode)
    (pm-save image out)
    (gimp-image-delete image)))
(define (pm-nothing image) #t)
(define (pm-select image)
  (gimp-image-select-rectangle image CHANNEL-OP-REPLACE 100 80 300 200)
  (gimp-image-select-rectangle image CHANNEL-OP-ADD 250 200 250 250))
(define (pm-grey-saving file)
  (lambda (image) (gimp-image-convert-grayscale image) (pm-save image file)))
(pm-case "in.png" "rgb-out.png" RUN-NONINTERACTIVE pm-nothing)
(pm-case "in.png" "last-out.png" RUN-WITH-LAST-VALS pm-nothing)
(pm-case "in-rgba.png" "rgba-out.png" RUN-NONINTERACTIVE pm-nothing)
(pm-case "in.png" "select-out.png" RUN-NONINTERACTIVE pm-select)
(pm-case "in.png" "grey-out.png" RUN-NONINTERACTIVE (pm-grey-saving "grey-in.png"))
(pm-case "in-rgba.png" "grey-alpha-out.png" RUN-NONINTERACTIVE (pm-grey-saving "grey-alpha-in.png"))
SCM
# The last values must come from this batch's first call, not an earlier run.
GIMP2_DIRECTORY=$profile timeout 300 "$gimp" -i -d -f -n --stack-trace-mode never \
  -b '(load "batch.scm")' -b '(gimp-quit 0)' >gimp.log 2>&1 || { cat gimp.log; fail "gimp-console failed"; }
for f in rgb-out last-out rgba-out select-out grey-in grey-out grey-alpha-in grey-alpha-out; do
  [ -s "$f.png" ] || { cat gimp.log; fail "GIMP wrote no $f.png"; }
done

checksum() { "$tool" --checksum -Q "$@" | cut -d' ' -f1; }
want=$(checksum "${tool_settings[@]}" -c "$(IFS=,; echo "${colour[*]}")" in.png tool-rgb.png)
for f in rgb-out last-out; do
  got=$(checksum --no-effect "$f.png" "copy-$f.png")
  [ "$got" = "$want" ] || fail "$f.png: checksum $got, the tool's $want"
  echo "gimp_test: $f.png = tool ($want)"
done

want=$(checksum "${tool_settings[@]}" -c "$grey,$grey,$grey" grey-in.png tool-grey.png)
got=$(checksum --no-effect grey-out.png copy-grey.png)
[ "$got" = "$want" ] || fail "grey-out.png: checksum $got, the tool's $want"
echo "gimp_test: grey-out.png = tool ($want)"

# The reference: first equal to the tool where the tool can judge it.
"$expected" apply in.png expected-rgb.png "${tool_settings[@]}" --border-colour "$(IFS=,; echo "${colour[*]}")"
"$expected" diff expected-rgb.png tool-rgb.png || fail "expected_pixels differs from the tool on RGB"
"$expected" apply in-rgba.png expected-rgba.png "${tool_settings[@]}" --border-colour "$(IFS=,; echo "${colour[*]}")"
"$expected" apply grey-alpha-in.png expected-grey-alpha.png "${tool_settings[@]}" --border-colour "$grey,$grey,$grey"
"$expected" apply in.png expected-select.png "${select[@]}" "${tool_settings[@]}" \
  --border-colour "$(IFS=,; echo "${colour[*]}")"
for f in rgba grey-alpha select; do
  "$expected" diff "expected-$f.png" "$f-out.png" || fail "$f-out.png differs from expected_pixels"
  echo "gimp_test: $f-out.png = expected_pixels"
done
# The cases must not be degenerate: the selection's result is neither the
# picture nor the whole effect, and the alpha pictures do have clear pixels.
! "$expected" diff expected-select.png in.png 2>/dev/null || fail "the selection case changed nothing"
! "$expected" diff expected-select.png rgb-out.png 2>/dev/null || fail "the selection case changed everything"
file grey-in.png | grep -q 'grayscale,' || fail "grey-in.png is not a grey PNG: $(file grey-in.png)"
file grey-alpha-in.png | grep -q 'gray+alpha' || fail "grey-alpha-in.png has no alpha: $(file grey-alpha-in.png)"
file rgba-out.png | grep -q 'RGBA' || fail "rgba-out.png lost its alpha: $(file rgba-out.png)"
echo "gimp_test: all cases equal"
