#!/bin/sh
# Draws the application icon for the hicolor theme at the usual sizes, from
# the same drawing as the window icon (resources/make-images.sh, which draws
# it on a 140-pixel grid). Each size is drawn eight times larger with the
# grid scaled to fit, then reduced with a box filter, so small sizes get
# exact coverage instead of blurred 140-pixel pixels. The build uses the
# committed files; run this (ImageMagick 6) only to change them. Output is
# byte-for-byte repeatable.
set -eu
cd "$(dirname "$0")/icons"

PNG_OPTS="-strip -define png:exclude-chunks=date,time,tIME"
SIZES="16 22 24 32 48 64 128 256"
OVERSAMPLE=8

rays=""
for a in 0 45 90 135 180 225 270 315; do
    rays="$rays push graphic-context translate 70,70 rotate $a roundrectangle -4,-56 4,-38 4,4 pop graphic-context"
done

# draw SIZE OUT: the window icon's drawing on a SIZE-pixel canvas.
draw() {
    size=$1
    scale=$(awk -v s="$size" 'BEGIN { printf "%.6f", s / 140 }')
    affine="-affine $scale,0,0,$scale,0,0"
    # shellcheck disable=SC2086
    convert -size "${size}x${size}" xc:none $affine -fill '#0073ef' -draw 'roundrectangle 6,6 133,133 26,26' \
        \( -size "${size}x${size}" xc:none $affine -fill white -draw 'circle 70,70 70,47' \
           -fill '#0073ef' -draw 'path "M 70,47 A 23,23 0 0,1 70,93 Z"' \
           -fill none -stroke white -strokewidth 4 -draw 'circle 70,70 70,49' \) -composite \
        \( -size "${size}x${size}" xc:none $affine -fill white -draw "$rays" \) -composite \
        "$2"
}

for size in $SIZES; do
    draw $((size * OVERSAMPLE)) png:- | convert png:- -filter box -resize "${size}x${size}" \
        -define png:color-type=6 -define png:bit-depth=8 $PNG_OPTS "PNG32:brightness-$size.png"
done
